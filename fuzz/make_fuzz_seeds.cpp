// Writes the seed corpora of the fuzzers: a handful of tiny stereo files of
// the shapes the tools meet (camera MPOs with thumbnails and an index, 4:2:0,
// 4:2:2, 4:4:4 and progressive pictures, restart markers, sizes that are not
// whole blocks, bare JPEG pairs, three pictures, greyscale views, views of
// different sizes, starts the locator must pass over) into SEEDS, and the
// same files behind the byte that picks a rule into COMPOSE_SEEDS. Tiny
// pictures keep every fuzzing run fast; the mutations then reach the same
// code paths as in a camera file.
//
//     make_fuzz_seeds SEEDS COMPOSE_SEEDS
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <utility>
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
    if (argc != 3) {
        fprintf(stderr, "usage: make_fuzz_seeds SEEDS COMPOSE_SEEDS\n");
        return 2;
    }
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
        JpegOptions restarts;
        restarts.restart_rows = 1;

        const std::vector<std::pair<const char*, Bytes>> seeds = {
            {"camera_8x8.mpo", stereo(8, 8, plain)},
            {"camera_16x16_progressive.mpo", stereo(16, 16, progressive)},
            {"camera_32x24_444.mpo", stereo(32, 24, full_chroma)},
            {"camera_24x16_422.mpo", stereo(24, 16, low_quality)},
            {"camera_1x1.mpo", stereo(1, 1, plain)},
            // Sizes that are not whole blocks, taller than a group of rows.
            {"camera_17x19.mpo", stereo(17, 19, plain)},
            {"camera_9x35_progressive.mpo", stereo(9, 35, progressive)},
            {"camera_24x40_restarts.mpo", stereo(24, 40, restarts)},
            {"three_pictures.mpo", stereo(16, 12, plain) + camera_view(16, 12, 0, 3, progressive)},
            {"greyscale.mpo", camera_view(16, 8, 0, 1, plain) + camera_view(16, 8, 1, 1, plain)},
            {"different_sizes.mpo", camera_view(16, 16, 0, 3, plain) + camera_view(8, 8, 1, 3, plain)},
            {"bare_pair.mpo", bare_view(16, 8, 0, plain) + bare_view(16, 8, 1, plain)},
            // Streams that open with FF D8 FF DB are not counted as pictures.
            {"dqt_starts.mpo", bare_view(8, 8, 0, no_jfif) + bare_view(8, 8, 1, no_jfif)},
        };
        // The composing fuzzer reads the rule from the first byte: each seed
        // once for each of the three rules.
        constexpr int kRules = 3;
        bool ok = true;
        for (const auto& seed : seeds) {
            ok = write_seed(argv[1], seed.first, seed.second) && ok;
            for (int rule = 0; rule < kRules; ++rule) {
                const std::string name = "rule" + std::to_string(rule) + "_" + seed.first;
                const Bytes with_rule = Bytes{static_cast<unsigned char>(rule)} + seed.second;
                ok = write_seed(argv[2], name.c_str(), with_rule) && ok;
            }
        }
        return ok ? 0 : 1;
    } catch (const std::exception& e) {
        fprintf(stderr, "make_fuzz_seeds: %s\n", e.what());
        return 1;
    }
}
