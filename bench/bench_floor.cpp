// bench_floor: the least work any of the tools can do for its output, the
// yardstick that bench/compare.sh measures each tool against.
//
//   bench_floor anaglyph FILE.mpo OUT.jpg   decode both views, encode the left one as it is
//   bench_floor jps FILE.mpo OUT.jps        decode both views into the halves of one double-width
//                                           raster, encode it
//   bench_floor split FILE.mpo OUTSTEM      write every picture to OUTSTEM_L.jpg, OUTSTEM_R.jpg, ...
//
// The file is read once into memory, views are decoded from there straight
// into their rasters, and the output is encoded with the tools' settings. The
// anaglyph floor composes nothing at all, so the measured ratio also carries
// the cost of the composing rule and of the different content the encoder
// then sees (bench_micro's BM_Encode figures show that part).
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bench_pictures.hpp"

namespace {

constexpr int kUsageStatus = 2;
constexpr int kFailureStatus = 1;
constexpr size_t kRgb = 3;

const char kUsage[] =
    "usage: bench_floor anaglyph FILE.mpo OUT.jpg\n"
    "       bench_floor jps FILE.mpo OUT.jps\n"
    "       bench_floor split FILE.mpo OUTSTEM\n";

int fail(const char* what, const std::string& name) {
    fprintf(stderr, "bench_floor: %s %s\n", what, name.c_str());
    return kFailureStatus;
}

// The two views' pictures, or an empty vector when the file has fewer.
std::vector<Extent> stereo_views(const Buffer& file) {
    std::vector<Extent> pictures = find_pictures(file.data.get(), file.size);
    if (pictures.size() < 2) return {};
    pictures.resize(2);
    return pictures;
}

int anaglyph(const Buffer& file, const char* input, const char* output) {
    const std::vector<Extent> views = stereo_views(file);
    if (views.empty()) return fail("fewer than two pictures in", input);
    ViewDecoder decoders[2];
    Buffer rasters[2];
    JDIMENSION width = 0;
    JDIMENSION height = 0;
    for (int j = 0; j < 2; ++j) {
        if (!open_view(&decoders[j], views[j])) return fail("a view is not RGB in", input);
        const jpeg_decompress_struct& cinfo = decoders[j].cinfo;
        if (j == 0) {
            width = cinfo.image_width;
            height = cinfo.image_height;
        } else if (cinfo.image_width != width || cinfo.image_height != height) {
            jpeg_destroy_decompress(&decoders[j].cinfo);
            return fail("views of different sizes in", input);
        }
        rasters[j] = make_buffer(size_t{width} * height * kRgb);
        decode_view(&decoders[j], rasters[j].data.get(), size_t{width} * kRgb);
    }
    if (!encode_to_file(output, rasters[0].data.get(), width, height)) return fail("cannot write", output);
    return 0;
}

// Right view in the left half, as in the tool's JPS; each view is decoded
// into its half, so nothing is copied.
int jps(const Buffer& file, const char* input, const char* output) {
    const std::vector<Extent> views = stereo_views(file);
    if (views.empty()) return fail("fewer than two pictures in", input);
    ViewDecoder decoders[2];
    if (!open_view(&decoders[0], views[0])) return fail("a view is not RGB in", input);
    const JDIMENSION width = decoders[0].cinfo.image_width;
    const JDIMENSION height = decoders[0].cinfo.image_height;
    const size_t view_row = size_t{width} * kRgb;
    const Buffer raster = make_buffer(2 * view_row * height);
    decode_view(&decoders[0], raster.data.get() + view_row, 2 * view_row);
    if (!open_view(&decoders[1], views[1])) return fail("a view is not RGB in", input);
    if (decoders[1].cinfo.image_width != width || decoders[1].cinfo.image_height != height) {
        jpeg_destroy_decompress(&decoders[1].cinfo);
        return fail("views of different sizes in", input);
    }
    decode_view(&decoders[1], raster.data.get(), 2 * view_row);
    if (!encode_to_file(output, raster.data.get(), 2 * width, height)) return fail("cannot write", output);
    return 0;
}

int split(const Buffer& file, const char* input, const char* stem) {
    const std::vector<Extent> pictures = find_pictures(file.data.get(), file.size);
    if (pictures.empty()) return fail("no picture in", input);
    for (size_t j = 0; j < pictures.size(); ++j) {
        const std::string suffix = j == 0   ? "_L.jpg"
                                   : j == 1 ? "_R.jpg"
                                            : "_" + std::to_string(j + 1) + ".jpg";
        const std::string name = stem + suffix;
        FILE* out = fopen(name.c_str(), "wb");
        if (out == nullptr) return fail("cannot create", name);
        const bool written = fwrite(pictures[j].data, 1, pictures[j].size, out) == pictures[j].size;
        if (fclose(out) != 0 || !written) return fail("cannot write", name);
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        fputs(kUsage, stderr);
        return kUsageStatus;
    }
    const std::string mode = argv[1];
    if (mode != "anaglyph" && mode != "jps" && mode != "split") {
        fputs(kUsage, stderr);
        return kUsageStatus;
    }
    Buffer file;
    if (!read_whole_file(argv[2], &file)) {
        return fail((std::string("cannot read (") + strerror(errno) + ")").c_str(), argv[2]);
    }
    if (mode == "anaglyph") return anaglyph(file, argv[2], argv[3]);
    if (mode == "jps") return jps(file, argv[2], argv[3]);
    return split(file, argv[2], argv[3]);
}
