// Boot-picture check (read, verify the baseline entropy-coded data, size check) on a
// 1920 x 1080 baseline file, against the yardstick an engineer would reach for: libjpeg-turbo
// reading and decoding the same file to RGB, as djpeg does,
//  - in this process, with its SIMD code and again without it (a second run of this program
//    with JSIMD_FORCENONE=1, since libjpeg-turbo picks its code once per process);
//  - as the whole djpeg command (libjpeg-turbo-progs) writing to /dev/null, less the same
//    command on a 16 x 16 picture (its start-up), when djpeg is installed.
// The machines are shared and noisy, so all run alternately and the medians are compared; the
// ratios are the figures.
#include "imaging/jpeg_decoder.h"
#include "imaging/picture_check.h"

#include <jpeglib.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// A camera-like 1920 x 1080 picture: gradients, edges and mild texture.
std::vector<unsigned char> make_rgb(int w, int h)
{
    std::vector<unsigned char> rgb(static_cast<size_t>(w) * h * 3);
    uint32_t seed = 7;
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            seed = seed * 1103515245u + 12345u;
            int noise = static_cast<int>((seed >> 16) & 7) - 4;
            double d = std::hypot(x - w / 2.0, y - h / 2.0);
            int ring = (static_cast<int>(d) / 40) & 1 ? 40 : 0;
            int tile = ((x / 120 + y / 90) & 1) ? 30 : 0;
            unsigned char* p = &rgb[(static_cast<size_t>(y) * w + x) * 3];
            p[0] = static_cast<unsigned char>(std::clamp(40 + x * 150 / w + ring + noise, 0, 255));
            p[1] = static_cast<unsigned char>(std::clamp(60 + y * 120 / h + tile + noise, 0, 255));
            p[2] = static_cast<unsigned char>(std::clamp(90 + ring + tile + noise, 0, 255));
        }
    }
    return rgb;
}

std::vector<unsigned char> encode_baseline(const std::vector<unsigned char>& rgb, int w, int h, int quality)
{
    jpeg_compress_struct c{};
    jpeg_error_mgr err{};
    c.err = jpeg_std_error(&err);
    jpeg_create_compress(&c);
    unsigned char* out = nullptr;
    unsigned long out_size = 0;
    jpeg_mem_dest(&c, &out, &out_size);
    c.image_width = static_cast<JDIMENSION>(w);
    c.image_height = static_cast<JDIMENSION>(h);
    c.input_components = 3;
    c.in_color_space = JCS_RGB;
    jpeg_set_defaults(&c);
    jpeg_set_quality(&c, quality, TRUE);
    c.comp_info[0].h_samp_factor = 2;
    c.comp_info[0].v_samp_factor = 2;
    jpeg_start_compress(&c, TRUE);
    while (c.next_scanline < c.image_height) {
        JSAMPROW row = const_cast<unsigned char*>(&rgb[static_cast<size_t>(c.next_scanline) * w * 3]);
        jpeg_write_scanlines(&c, &row, 1);
    }
    jpeg_finish_compress(&c);
    jpeg_destroy_compress(&c);
    std::vector<unsigned char> bytes(out, out + out_size);
    std::free(out);
    return bytes;
}

extern "C" char** environ;

// libjpeg-turbo's side of the same job, as djpeg does it: read the file, decode it to RGB a
// few rows at a time into one reused buffer (djpeg writes each row out and keeps none).
bool libjpeg_check(const char* path)
{
    std::vector<unsigned char> bytes;
    if (FILE* f = std::fopen(path, "rb")) {
        unsigned char chunk[65536];
        size_t n;
        while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0)
            bytes.insert(bytes.end(), chunk, chunk + n);
        std::fclose(f);
    }
    if (bytes.empty())
        return false;
    jpeg_decompress_struct d{};
    jpeg_error_mgr err{};
    d.err = jpeg_std_error(&err);
    jpeg_create_decompress(&d);
    jpeg_mem_src(&d, bytes.data(), bytes.size());
    jpeg_read_header(&d, TRUE);
    d.out_color_space = JCS_RGB;
    jpeg_start_decompress(&d);
    const size_t line = static_cast<size_t>(d.output_width) * 3;
    const int rows = std::max(1, d.rec_outbuf_height);
    std::vector<unsigned char> target(line * static_cast<size_t>(rows));
    std::vector<JSAMPROW> row(static_cast<size_t>(rows));
    for (int i = 0; i < rows; ++i)
        row[static_cast<size_t>(i)] = &target[line * static_cast<size_t>(i)];
    while (d.output_scanline < d.output_height)
        jpeg_read_scanlines(&d, row.data(), static_cast<JDIMENSION>(rows));
    jpeg_finish_decompress(&d);
    bool ok = d.output_width == 1920 && d.output_height == 1080;
    jpeg_destroy_decompress(&d);
    return ok;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// Milliseconds of one whole `djpeg -outfile /dev/null PATH`, or -1 when it cannot run.
double time_djpeg(const char* path)
{
    char prog[] = "djpeg", opt[] = "-outfile", null_out[] = "/dev/null";
    std::string file(path);
    char* args[] = {prog, opt, null_out, file.data(), nullptr};
    auto t0 = Clock::now();
    pid_t pid = 0;
    if (posix_spawnp(&pid, prog, nullptr, nullptr, args, environ) != 0)
        return -1;
    int status = 0;
    if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return -1;
    return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

bool write_file(const std::string& path, const std::vector<unsigned char>& bytes)
{
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}

}  // namespace

int main(int argc, char** argv)
{
    int rounds = argc > 1 ? std::max(3, std::atoi(argv[1])) : 21;
    jpeg_set_trace_sink(jpeg_trace_silent);

    const int w = 1920, h = 1080;
    auto rgb = make_rgb(w, h);
    std::vector<unsigned char> file;
    // The check needs a file within 240 KByte; pick the best quality that fits.
    for (int q = 90; q >= 50; q -= 5) {
        file = encode_baseline(rgb, w, h, q);
        if (file.size() <= static_cast<size_t>(kBootPictureMaxBytes))
            break;
    }
    std::string path = "/tmp/dravlin_bench_boot_" + std::to_string(::getpid()) + ".jpg";
    std::string tiny = "/tmp/dravlin_bench_tiny_" + std::to_string(::getpid()) + ".jpg";
    write_file(path, file);
    write_file(tiny, encode_baseline(make_rgb(16, 16), 16, 16, 90));
    const char* scalar = std::getenv("JSIMD_FORCENONE");
    const bool is_scalar = scalar && std::string(scalar) == "1";
    // The whole command is measured once, by the SIMD run.
    bool with_djpeg = !is_scalar && time_djpeg(tiny.c_str()) >= 0;

    PictureCheckReport report;
    if (CheckPictureFile(kPictureBoot, path.c_str(), nullptr, &report) != kPictureOk || report.width != w ||
        report.height != h) {
        std::fprintf(stderr, "bench_picture_check: the check refused the bench picture (%d)\n", report.result);
        std::remove(path.c_str());
        return 1;
    }
    std::vector<double> ours, theirs, djpeg, djpeg_start;
    for (int i = 0; i < rounds; ++i) {
        if (with_djpeg) {
            double whole = time_djpeg(path.c_str()), start = time_djpeg(tiny.c_str());
            if (whole < 0 || start < 0) {
                std::fprintf(stderr, "bench_picture_check: djpeg failed\n");
                with_djpeg = false;
            } else {
                djpeg.push_back(whole);
                djpeg_start.push_back(start);
            }
        }
        auto t0 = Clock::now();
        int rc = CheckPictureFile(kPictureBoot, path.c_str());
        auto t1 = Clock::now();
        bool ok = libjpeg_check(path.c_str());
        auto t2 = Clock::now();
        if (rc != kPictureOk || !ok) {
            std::fprintf(stderr, "bench_picture_check: a decode failed\n");
            std::remove(path.c_str());
            std::remove(tiny.c_str());
            return 1;
        }
        ours.push_back(std::chrono::duration<double, std::milli>(t1 - t0).count());
        theirs.push_back(std::chrono::duration<double, std::milli>(t2 - t1).count());
    }
    std::remove(path.c_str());
    std::remove(tiny.c_str());
    double a = median(ours), b = median(theirs);
    std::printf("imaging boot-picture check vs libjpeg-turbo %s decode to RGB in this process (1920x1080 4:2:0, %zu "
                "bytes): %.2fx (check %.2f ms, libjpeg-turbo %.2f ms, median of %d)\n",
                is_scalar ? "scalar" : "SIMD", file.size(), a / b, a, b, rounds);
    if (with_djpeg && djpeg.size() == static_cast<size_t>(rounds)) {
        const double whole = median(djpeg), start = median(djpeg_start);
        if (whole > start)
            std::printf("imaging boot-picture check vs the djpeg command, its start-up subtracted: %.2fx (target <= "
                        "0.5; djpeg %.2f ms, on a 16x16 picture %.2f ms, so %.2f ms decoding)\n",
                        a / (whole - start), whole, start, whole - start);
    } else if (!is_scalar) {
        std::printf("imaging: djpeg (libjpeg-turbo-progs) not run, the whole-command figure is skipped\n");
    }
    std::fflush(stdout);
    if (!is_scalar) {
        char self[4096];
        ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
        if (n <= 0)
            return 1;
        self[n] = '\0';
        std::string again = "JSIMD_FORCENONE=1 '" + std::string(self) + "' " + std::to_string(rounds);
        if (std::system(again.c_str()) != 0)
            return 1;
    }
    return 0;
}
