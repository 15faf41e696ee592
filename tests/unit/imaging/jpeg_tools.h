// Test helpers: pictures made with libjpeg-turbo's cjpeg and decoded by its djpeg as the
// reference, and JPEG segments built by hand for the cases no encoder produces.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace jpegtest {

using Bytes = std::vector<uint8_t>;

bool have_libjpeg_tools();  // /usr/bin/cjpeg and /usr/bin/djpeg (or on PATH)

// A scratch folder removed when the object goes.
class ScratchDir {
public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    std::filesystem::path path(const std::string& name) const { return dir_ / name; }

private:
    std::filesystem::path dir_;
};

Bytes read_file(const std::filesystem::path& p);
void write_file(const std::filesystem::path& p, const Bytes& b);

// A test picture with smooth gradients, hard edges and some texture, as binary PPM (or PGM).
Bytes make_pnm(int width, int height, bool gray);

// Encodes a picture of the given size with cjpeg and these options; empty on failure.
Bytes cjpeg(const ScratchDir& dir, int width, int height, bool gray, const std::string& options);

struct Image {
    int width = 0;
    int height = 0;
    int channels = 0;  // 1 (PGM) or 3 (PPM)
    Bytes pixels;
};

// djpeg's decode of a JPEG; width 0 when djpeg refused it.
Image djpeg(const ScratchDir& dir, const Bytes& jpeg);

// Hand-made segments. Each returns the marker and its segment.
Bytes soi();
Bytes eoi();
Bytes dqt(int table, uint8_t value = 1);
Bytes dht(int cls, int table, const std::vector<uint8_t>& counts, const std::vector<uint8_t>& symbols);
struct FrameComponent {
    int id, h, v, tq;
};
Bytes sof0(int width, int height, const std::vector<FrameComponent>& comps);
struct ScanComponent {
    int id, dc, ac;
};
Bytes sos(const std::vector<ScanComponent>& comps);
Bytes dri(int interval);

// The smallest usable tables: one DC code "0" for a zero difference and one AC code "0" for
// end-of-block, so every block is the two bits "00".
Bytes tiny_tables(int table);

Bytes cat(std::initializer_list<Bytes> parts);

}  // namespace jpegtest
