// Renders the garden from both eyes and writes it as a stereo MPO file.

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include "stereo_sample.hpp"

namespace {

// 640x480 at quality 90 is a familiar stereo-camera size and keeps the
// committed sample near 130 KB.
constexpr int kDefaultWidth = 640;
constexpr int kDefaultHeight = 480;
constexpr int kDefaultQuality = 90;
// Far beyond any camera, and small enough that a typo cannot ask for
// gigabytes of pixels.
constexpr int kMaxSide = 16384;

const char kUsage[] =
    "usage: make_sample_mpo [--width W] [--height H] [--quality Q] OUTPUT.mpo\n"
    "Renders a synthetic stereo garden and writes it as a two-picture MPO.\n"
    "  --width W     picture width in pixels, 1 to 16384 (default 640)\n"
    "  --height H    picture height in pixels, 1 to 16384 (default 480)\n"
    "  --quality Q   JPEG quality, 1 to 100 (default 90)\n";

int usage_error(const std::string& message) {
    std::fprintf(stderr, "make_sample_mpo: %s\n%s", message.c_str(), kUsage);
    return 1;
}

// A whole decimal number in [lo, hi], or false.
bool parse_int(const char* text, int lo, int hi, int* value) {
    if (*text < '0' || *text > '9') return false;
    errno = 0;
    char* end = nullptr;
    const long v = std::strtol(text, &end, 10);
    if (errno != 0 || *end != '\0' || v < lo || v > hi) return false;
    *value = int(v);
    return true;
}

bool write_file(const char* path, const std::vector<unsigned char>& bytes) {
    std::FILE* f = std::fopen(path, "wb");
    if (f == nullptr) {
        std::fprintf(stderr, "make_sample_mpo: cannot create %s: %s\n", path, std::strerror(errno));
        return false;
    }
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    const int write_errno = errno;
    const bool closed = std::fclose(f) == 0;
    if (!written || !closed) {
        std::fprintf(stderr, "make_sample_mpo: cannot write %s: %s\n", path,
                     std::strerror(written ? errno : write_errno));
        (void)std::remove(path);  // best effort: the failure is reported already
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    int width = kDefaultWidth;
    int height = kDefaultHeight;
    int quality = kDefaultQuality;
    const char* output = nullptr;

    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "-h" || arg == "--help") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        int* target = arg == "--width"     ? &width
                      : arg == "--height"  ? &height
                      : arg == "--quality" ? &quality
                                           : nullptr;
        if (target != nullptr) {
            const int hi = target == &quality ? 100 : kMaxSide;
            if (i + 1 >= argc) return usage_error(arg + " needs a value");
            if (!parse_int(argv[i + 1], 1, hi, target))
                return usage_error(arg + " must be a whole number from 1 to " + std::to_string(hi) +
                                   ", not '" + argv[i + 1] + "'");
            ++i;
        } else if (arg.size() > 1 && arg[0] == '-') {
            return usage_error("unknown option " + arg);
        } else if (output != nullptr) {
            return usage_error("only one output file may be given");
        } else {
            output = argv[i];
        }
    }
    if (output == nullptr) return usage_error("no output file given");

    try {
        const std::vector<unsigned char> left = render_view(width, height, 0);
        const std::vector<unsigned char> right = render_view(width, height, 1);
        JpegOptions options;
        options.quality = quality;
        const std::vector<unsigned char> mpo =
            make_stereo_mpo(left.data(), right.data(), width, height, options);
        if (!write_file(output, mpo)) return 1;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "make_sample_mpo: %s\n", e.what());
        return 1;
    }
    return 0;
}
