// A small JSON reader for what the tool is handed back (its reports, expect lists) and what the
// browser console's API is sent: recursive descent with a depth cap, so a hostile text cannot
// exhaust the stack. Numbers are doubles; strings come back as UTF-8.
#pragma once

#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace dravlinctl {

struct JsonValue {
    enum Type { kNull, kBool, kNumber, kString, kArray, kObject } type = kNull;
    bool b = false;
    double number = 0;
    std::string str;
    std::vector<JsonValue> items;
    std::map<std::string, JsonValue> members;

    const JsonValue* get(const char* key) const
    {
        auto it = members.find(key);
        return type == kObject && it != members.end() ? &it->second : nullptr;
    }
};

class JsonReader {
public:
    explicit JsonReader(const std::string& text) : s_(text) { }

    bool parse(JsonValue& out)
    {
        skip_space();
        if (!value(out, 0))
            return false;
        skip_space();
        return pos_ == s_.size();
    }

private:
    static constexpr int kMaxDepth = 64;

    void skip_space()
    {
        while (pos_ < s_.size() && (s_[pos_] == ' ' || s_[pos_] == '\t' || s_[pos_] == '\n' || s_[pos_] == '\r'))
            ++pos_;
    }

    bool literal(const char* word)
    {
        size_t n = std::strlen(word);
        if (s_.compare(pos_, n, word) != 0)
            return false;
        pos_ += n;
        return true;
    }

    static void put_utf8(std::string& out, uint32_t c)
    {
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }

    bool hex4(uint32_t& out)
    {
        if (pos_ + 4 > s_.size())
            return false;
        out = 0;
        for (int i = 0; i < 4; ++i) {
            char c = s_[pos_++];
            out <<= 4;
            if (c >= '0' && c <= '9')
                out |= static_cast<uint32_t>(c - '0');
            else if (c >= 'a' && c <= 'f')
                out |= static_cast<uint32_t>(c - 'a' + 10);
            else if (c >= 'A' && c <= 'F')
                out |= static_cast<uint32_t>(c - 'A' + 10);
            else
                return false;
        }
        return true;
    }

    bool string(std::string& out)
    {
        ++pos_;  // the opening quote
        while (pos_ < s_.size()) {
            char c = s_[pos_++];
            if (c == '"')
                return true;
            if (static_cast<unsigned char>(c) < 0x20)
                return false;
            if (c != '\\') {
                out += c;
                continue;
            }
            if (pos_ >= s_.size())
                return false;
            char e = s_[pos_++];
            switch (e) {
            case '"':
            case '\\':
            case '/': out += e; break;
            case 'b': out += '\b'; break;
            case 'f': out += '\f'; break;
            case 'n': out += '\n'; break;
            case 'r': out += '\r'; break;
            case 't': out += '\t'; break;
            case 'u': {
                uint32_t c1;
                if (!hex4(c1))
                    return false;
                if (c1 >= 0xD800 && c1 < 0xDC00 && s_.compare(pos_, 2, "\\u") == 0) {
                    size_t back = pos_;
                    pos_ += 2;
                    uint32_t c2;
                    if (hex4(c2) && c2 >= 0xDC00 && c2 < 0xE000)
                        c1 = 0x10000 + ((c1 - 0xD800) << 10) + (c2 - 0xDC00);
                    else
                        pos_ = back;
                }
                put_utf8(out, c1);
                break;
            }
            default: return false;
            }
        }
        return false;
    }

    bool number(double& out)
    {
        size_t start = pos_;
        if (pos_ < s_.size() && s_[pos_] == '-')
            ++pos_;
        while (pos_ < s_.size() &&
               (std::isdigit(static_cast<unsigned char>(s_[pos_])) || s_[pos_] == '.' || s_[pos_] == 'e' ||
                s_[pos_] == 'E' || s_[pos_] == '+' || s_[pos_] == '-'))
            ++pos_;
        std::string t = s_.substr(start, pos_ - start);
        if (t.empty() || t == "-")
            return false;
        char* end = nullptr;
        out = std::strtod(t.c_str(), &end);
        return end && *end == '\0';
    }

    bool value(JsonValue& out, int depth)
    {
        if (depth > kMaxDepth || pos_ >= s_.size())
            return false;
        char c = s_[pos_];
        if (c == '"') {
            out.type = JsonValue::kString;
            return string(out.str);
        }
        if (c == '{' || c == '[') {
            bool object = c == '{';
            out.type = object ? JsonValue::kObject : JsonValue::kArray;
            ++pos_;
            skip_space();
            if (pos_ < s_.size() && s_[pos_] == (object ? '}' : ']')) {
                ++pos_;
                return true;
            }
            for (;;) {
                skip_space();
                JsonValue item;
                if (object) {
                    std::string key;
                    if (pos_ >= s_.size() || s_[pos_] != '"' || !string(key))
                        return false;
                    skip_space();
                    if (pos_ >= s_.size() || s_[pos_++] != ':')
                        return false;
                    skip_space();
                    if (!value(item, depth + 1))
                        return false;
                    out.members[key] = std::move(item);
                } else {
                    if (!value(item, depth + 1))
                        return false;
                    out.items.push_back(std::move(item));
                }
                skip_space();
                if (pos_ >= s_.size())
                    return false;
                char sep = s_[pos_++];
                if (sep == (object ? '}' : ']'))
                    return true;
                if (sep != ',')
                    return false;
            }
        }
        if (literal("true")) {
            out.type = JsonValue::kBool;
            out.b = true;
            return true;
        }
        if (literal("false")) {
            out.type = JsonValue::kBool;
            return true;
        }
        if (literal("null"))
            return true;
        out.type = JsonValue::kNumber;
        return number(out.number);
    }

    const std::string& s_;
    size_t pos_ = 0;
};

}  // namespace dravlinctl
