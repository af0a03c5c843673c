// Writes the seed corpus of the fuzzers into a folder: a handful of tiny
// stereo files of the shapes the tools meet (camera MPOs with thumbnails and
// an index, progressive and 4:4:4 pictures, bare JPEG pairs, three pictures,
// greyscale views, views of different sizes, starts the locator must pass
// over). Tiny pictures keep every fuzzing run fast; the mutations then reach
// the same code paths as in a camera file.
//
//     make_fuzz_seeds FOLDER
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include "stereo_sample.hpp"

namespace {

using Bytes = std::vector<unsigned char>;

Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

bool write_seed(const std::string& folder, const char* name, const Bytes& bytes) {
    const std::string path = folder + "/" + name;
    FILE* f = fopen(path.c_str(), "wb");
    if (f == nullptr) {
        fprintf(stderr, "make_fuzz_seeds: cannot create %s: %s\n", path.c_str(), strerror(errno));
        return false;
    }
    const bool written = fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    if (fclose(f) != 0 || !written) {
        fprintf(stderr, "make_fuzz_seeds: cannot write %s\n", path.c_str());
        return false;
    }
    return true;
}

Bytes stereo(int width, int height, const JpegOptions& options) {
    const Bytes left = render_view(width, height, 0);
    const Bytes right = render_view(width, height, 1);
    return make_stereo_mpo(left.data(), right.data(), width, height, options);
}

// One view as a camera stores it, without a thumbnail or an index.
Bytes camera_view(int width, int height, int eye, int components, const JpegOptions& options) {
    Bytes pixels = render_view(width, height, eye);
    if (components == 1) {
        // Integer luma (ITU-R BT.601 weights in 1/256).
        for (size_t p = 0; p < pixels.size() / 3; ++p) {
            pixels[p] = static_cast<unsigned char>(
                (77 * pixels[3 * p] + 150 * pixels[3 * p + 1] + 29 * pixels[3 * p + 2]) >> 8);
        }
        pixels.resize(pixels.size() / 3);
    }
    return make_camera_picture(encode_jpeg(pixels.data(), width, height, components, options), {}, {});
}

Bytes bare_view(int width, int height, int eye, const JpegOptions& options) {
    const Bytes pixels = render_view(width, height, eye);
    return encode_jpeg(pixels.data(), width, height, 3, options);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: make_fuzz_seeds FOLDER\n");
        return 2;
    }
    const std::string folder = argv[1];
    try {
        JpegOptions plain;
        JpegOptions progressive;
        progressive.progressive = true;
        JpegOptions full_chroma;
        full_chroma.h_samp = 1;
        full_chroma.v_samp = 1;
        JpegOptions low_quality;
        low_quality.quality = 40;
        low_quality.h_samp = 2;
        low_quality.v_samp = 1;
        JpegOptions no_jfif;
        no_jfif.jfif = false;

        bool ok = write_seed(folder, "camera_8x8.mpo", stereo(8, 8, plain));
        ok = write_seed(folder, "camera_16x16_progressive.mpo", stereo(16, 16, progressive)) && ok;
        ok = write_seed(folder, "camera_32x24_444.mpo", stereo(32, 24, full_chroma)) && ok;
        ok = write_seed(folder, "camera_24x16_422.mpo", stereo(24, 16, low_quality)) && ok;
        ok = write_seed(folder, "camera_1x1.mpo", stereo(1, 1, plain)) && ok;
        ok = write_seed(folder, "three_pictures.mpo",
                        stereo(16, 12, plain) + camera_view(16, 12, 0, 3, progressive)) &&
             ok;
        ok = write_seed(folder, "greyscale.mpo",
                        camera_view(16, 8, 0, 1, plain) + camera_view(16, 8, 1, 1, plain)) &&
             ok;
        ok = write_seed(folder, "different_sizes.mpo",
                        camera_view(16, 16, 0, 3, plain) + camera_view(8, 8, 1, 3, plain)) &&
             ok;
        ok = write_seed(folder, "bare_pair.mpo", bare_view(16, 8, 0, plain) + bare_view(16, 8, 1, plain)) &&
             ok;
        // Streams that open with FF D8 FF DB are not counted as pictures.
        ok =
            write_seed(folder, "dqt_starts.mpo", bare_view(8, 8, 0, no_jfif) + bare_view(8, 8, 1, no_jfif)) &&
            ok;
        return ok ? 0 : 1;
    } catch (const std::exception& e) {
        fprintf(stderr, "make_fuzz_seeds: %s\n", e.what());
        return 1;
    }
}
