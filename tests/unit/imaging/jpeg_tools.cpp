#include "jpeg_tools.h"

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>

namespace fs = std::filesystem;

namespace jpegtest {

namespace {

bool on_path(const char* tool)
{
    std::string cmd = std::string("command -v ") + tool + " >/dev/null 2>&1";
    return std::system(cmd.c_str()) == 0;
}

std::string quote(const fs::path& p) { return "'" + p.string() + "'"; }

void put16(Bytes& b, int v)
{
    b.push_back(static_cast<uint8_t>((v >> 8) & 0xFF));
    b.push_back(static_cast<uint8_t>(v & 0xFF));
}

Bytes segment(uint8_t marker, const Bytes& body)
{
    // Reserved whole up front: growing from an initialiser list here makes GCC 12's inliner
    // report out-of-bounds copies that cannot happen (mingw-w64 Release build).
    Bytes b;
    b.reserve(body.size() + 4);
    b.push_back(0xFF);
    b.push_back(marker);
    put16(b, static_cast<int>(body.size()) + 2);
    b.insert(b.end(), body.begin(), body.end());
    return b;
}

}  // namespace

bool have_libjpeg_tools() { return on_path("cjpeg") && on_path("djpeg"); }

ScratchDir::ScratchDir()
{
    static std::atomic<int> counter{0};
    dir_ =
        fs::temp_directory_path() / ("dravlin_imaging_" + std::to_string(::getpid()) + "_" + std::to_string(counter++));
    fs::create_directories(dir_);
}

ScratchDir::~ScratchDir()
{
    std::error_code ec;
    fs::remove_all(dir_, ec);
}

Bytes read_file(const fs::path& p)
{
    std::ifstream in(p, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void write_file(const fs::path& p, const Bytes& b)
{
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
}

Bytes make_pnm(int width, int height, bool gray)
{
    std::string header =
        std::string(gray ? "P5" : "P6") + "\n" + std::to_string(width) + " " + std::to_string(height) + "\n255\n";
    Bytes b(header.begin(), header.end());
    uint32_t seed = 12345;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            seed = seed * 1103515245u + 12345u;
            int noise = static_cast<int>((seed >> 16) & 15) - 8;
            int r = x * 255 / (width > 1 ? width - 1 : 1);
            int g = y * 255 / (height > 1 ? height - 1 : 1);
            int bl = ((x / 24 + y / 24) & 1) ? 220 : 30;  // hard edges
            auto c = [noise](int v) {
                v += noise;
                return static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v);
            };
            if (gray) {
                b.push_back(c((r + g + bl) / 3));
            } else {
                b.push_back(c(r));
                b.push_back(c(g));
                b.push_back(c(bl));
            }
        }
    }
    return b;
}

Bytes cjpeg(const ScratchDir& dir, int width, int height, bool gray, const std::string& options)
{
    static std::atomic<int> n{0};
    int id = n++;
    fs::path in = dir.path("src" + std::to_string(id) + (gray ? ".pgm" : ".ppm"));
    fs::path out = dir.path("enc" + std::to_string(id) + ".jpg");
    write_file(in, make_pnm(width, height, gray));
    std::string cmd = "cjpeg " + options + " -outfile " + quote(out) + " " + quote(in) + " 2>/dev/null";
    if (std::system(cmd.c_str()) != 0)
        return {};
    return read_file(out);
}

Image djpeg(const ScratchDir& dir, const Bytes& jpeg)
{
    static std::atomic<int> n{0};
    int id = n++;
    fs::path in = dir.path("ref" + std::to_string(id) + ".jpg");
    fs::path out = dir.path("ref" + std::to_string(id) + ".pnm");
    write_file(in, jpeg);
    // Float IDCT and plain sample replication: the closest libjpeg gets to our decoder.
    std::string cmd = "djpeg -dct float -nosmooth -pnm -outfile " + quote(out) + " " + quote(in) + " 2>/dev/null";
    Image img;
    if (std::system(cmd.c_str()) != 0)
        return img;
    Bytes pnm = read_file(out);
    std::string text(pnm.begin(), pnm.begin() + std::min<size_t>(pnm.size(), 64));
    std::istringstream hs(text);
    std::string magic;
    int maxval = 0;
    hs >> magic >> img.width >> img.height >> maxval;
    img.channels = magic == "P5" ? 1 : 3;
    size_t header = static_cast<size_t>(hs.tellg()) + 1;
    img.pixels.assign(pnm.begin() + static_cast<std::ptrdiff_t>(header), pnm.end());
    if (img.pixels.size() != static_cast<size_t>(img.width) * img.height * img.channels)
        img.width = 0;
    return img;
}

Bytes soi() { return {0xFF, 0xD8}; }
Bytes eoi() { return {0xFF, 0xD9}; }

Bytes dqt(int table, uint8_t value)
{
    Bytes body(65, value);
    body[0] = static_cast<uint8_t>(table);
    return segment(0xDB, body);
}

Bytes dht(int cls, int table, const std::vector<uint8_t>& counts, const std::vector<uint8_t>& symbols)
{
    Bytes body{static_cast<uint8_t>((cls << 4) | table)};
    for (int i = 0; i < 16; ++i)
        body.push_back(i < static_cast<int>(counts.size()) ? counts[i] : 0);
    body.insert(body.end(), symbols.begin(), symbols.end());
    return segment(0xC4, body);
}

Bytes sof0(int width, int height, const std::vector<FrameComponent>& comps)
{
    Bytes body{8};
    put16(body, height);
    put16(body, width);
    body.push_back(static_cast<uint8_t>(comps.size()));
    for (const auto& c : comps) {
        body.push_back(static_cast<uint8_t>(c.id));
        body.push_back(static_cast<uint8_t>((c.h << 4) | c.v));
        body.push_back(static_cast<uint8_t>(c.tq));
    }
    return segment(0xC0, body);
}

Bytes sos(const std::vector<ScanComponent>& comps)
{
    Bytes body{static_cast<uint8_t>(comps.size())};
    for (const auto& c : comps) {
        body.push_back(static_cast<uint8_t>(c.id));
        body.push_back(static_cast<uint8_t>((c.dc << 4) | c.ac));
    }
    body.push_back(0);
    body.push_back(63);
    body.push_back(0);
    return segment(0xDA, body);
}

Bytes dri(int interval)
{
    Bytes body;
    put16(body, interval);
    return segment(0xDD, body);
}

Bytes tiny_tables(int table) { return cat({dht(0, table, {1}, {0x00}), dht(1, table, {1}, {0x00})}); }

Bytes cat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const auto& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

}  // namespace jpegtest
