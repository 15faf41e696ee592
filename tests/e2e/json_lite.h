// A small JSON reader for end-to-end tests (status files of dravlin-sim, dravlinctl output).
// \u00XX escapes below 0x100 come back as single bytes: dravlin-sim writes raw device bytes
// that way. Anything malformed makes parse() return false.
#pragma once

#include <cstdlib>
#include <map>
#include <string>
#include <vector>

namespace e2e {

struct Json {
    enum Type { Null, Bool, Number, String, Array, Object } type = Null;
    bool b = false;
    double num = 0;
    std::string str;
    std::vector<Json> arr;
    std::map<std::string, Json> obj;

    const Json& operator[](const std::string& key) const
    {
        static const Json none;
        auto it = obj.find(key);
        return it == obj.end() ? none : it->second;
    }
    const Json& operator[](size_t i) const
    {
        static const Json none;
        return i < arr.size() ? arr[i] : none;
    }
    size_t size() const { return type == Array ? arr.size() : obj.size(); }
    long long integer() const { return static_cast<long long>(num); }
};

class JsonParser {
public:
    explicit JsonParser(const std::string& text) : s_(text) { }

    bool parse(Json* out)
    {
        if (!value(out))
            return false;
        ws();
        return pos_ == s_.size();
    }

private:
    void ws()
    {
        while (pos_ < s_.size() && (s_[pos_] == ' ' || s_[pos_] == '\n' || s_[pos_] == '\r' || s_[pos_] == '\t'))
            ++pos_;
    }
    bool lit(const char* word)
    {
        size_t n = std::char_traits<char>::length(word);
        if (s_.compare(pos_, n, word) != 0)
            return false;
        pos_ += n;
        return true;
    }
    static int hex(char c)
    {
        if (c >= '0' && c <= '9')
            return c - '0';
        if (c >= 'a' && c <= 'f')
            return c - 'a' + 10;
        if (c >= 'A' && c <= 'F')
            return c - 'A' + 10;
        return -1;
    }
    bool string(std::string* out)
    {
        if (pos_ >= s_.size() || s_[pos_] != '"')
            return false;
        ++pos_;
        while (pos_ < s_.size()) {
            char c = s_[pos_++];
            if (c == '"')
                return true;
            if (c != '\\') {
                *out += c;
                continue;
            }
            if (pos_ >= s_.size())
                return false;
            char e = s_[pos_++];
            switch (e) {
            case '"': *out += '"'; break;
            case '\\': *out += '\\'; break;
            case '/': *out += '/'; break;
            case 'b': *out += '\b'; break;
            case 'f': *out += '\f'; break;
            case 'n': *out += '\n'; break;
            case 'r': *out += '\r'; break;
            case 't': *out += '\t'; break;
            case 'u': {
                if (pos_ + 4 > s_.size())
                    return false;
                unsigned cp = 0;
                for (int i = 0; i < 4; ++i) {
                    int h = hex(s_[pos_++]);
                    if (h < 0)
                        return false;
                    cp = cp * 16 + static_cast<unsigned>(h);
                }
                if (cp < 0x100) {
                    *out += static_cast<char>(cp);
                } else if (cp < 0x800) {
                    *out += static_cast<char>(0xC0 | (cp >> 6));
                    *out += static_cast<char>(0x80 | (cp & 0x3F));
                } else {
                    *out += static_cast<char>(0xE0 | (cp >> 12));
                    *out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
                    *out += static_cast<char>(0x80 | (cp & 0x3F));
                }
                break;
            }
            default: return false;
            }
        }
        return false;
    }
    bool value(Json* out)
    {
        if (++depth_ > 64)
            return false;
        ws();
        if (pos_ >= s_.size())
            return false;
        char c = s_[pos_];
        bool ok = false;
        if (c == '{') {
            out->type = Json::Object;
            ++pos_;
            ws();
            if (pos_ < s_.size() && s_[pos_] == '}') {
                ++pos_;
                ok = true;
            } else {
                for (;;) {
                    ws();
                    std::string key;
                    if (!string(&key))
                        break;
                    ws();
                    if (pos_ >= s_.size() || s_[pos_++] != ':')
                        break;
                    if (!value(&out->obj[key]))
                        break;
                    ws();
                    if (pos_ < s_.size() && s_[pos_] == ',') {
                        ++pos_;
                        continue;
                    }
                    if (pos_ < s_.size() && s_[pos_] == '}') {
                        ++pos_;
                        ok = true;
                    }
                    break;
                }
            }
        } else if (c == '[') {
            out->type = Json::Array;
            ++pos_;
            ws();
            if (pos_ < s_.size() && s_[pos_] == ']') {
                ++pos_;
                ok = true;
            } else {
                for (;;) {
                    out->arr.emplace_back();
                    if (!value(&out->arr.back()))
                        break;
                    ws();
                    if (pos_ < s_.size() && s_[pos_] == ',') {
                        ++pos_;
                        continue;
                    }
                    if (pos_ < s_.size() && s_[pos_] == ']') {
                        ++pos_;
                        ok = true;
                    }
                    break;
                }
            }
        } else if (c == '"') {
            out->type = Json::String;
            ok = string(&out->str);
        } else if (lit("true")) {
            out->type = Json::Bool;
            out->b = ok = true;
        } else if (lit("false")) {
            out->type = Json::Bool;
            ok = true;
        } else if (lit("null")) {
            ok = true;
        } else {
            const char* begin = s_.c_str() + pos_;
            char* end = nullptr;
            out->num = std::strtod(begin, &end);
            if (end != begin) {
                out->type = Json::Number;
                pos_ += static_cast<size_t>(end - begin);
                ok = true;
            }
        }
        --depth_;
        return ok;
    }

    const std::string& s_;
    size_t pos_ = 0;
    int depth_ = 0;
};

inline bool parse_json(const std::string& text, Json* out) { return JsonParser(text).parse(out); }

}  // namespace e2e
