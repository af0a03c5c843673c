// bench_micro: throughput of the locator and of the composing rules on camera
// sized data, and of the encoder on each rule's output.
//
//   bench_micro [--mpo=FILE.mpo] [Google Benchmark options]
//
// The pixels are the two views decoded from FILE.mpo, or, without it, from a
// 3648 x 2736 garden rendered the way make_sample_mpo does (a few seconds).
// Rule figures count view pixels: one item is one left/right pixel pair.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench_pictures.hpp"
#include "colour_anaglyph.hpp"
#include "dubois.hpp"
#include "locator.hpp"
#include "stereo_sample.hpp"

namespace {

// A 10 MP stereo camera's views, and about the size of its MPO files.
constexpr int kCameraWidth = 3648;
constexpr int kCameraHeight = 2736;
constexpr size_t kLocatorStreamBytes = size_t{10} << 20;
constexpr size_t kRgb = 3;

struct StereoViews {
    std::vector<unsigned char> mpo;
    std::vector<unsigned char> left;
    std::vector<unsigned char> right;
    JDIMENSION width = 0;
    JDIMENSION height = 0;
    size_t pictures = 0;  // in the MPO file
};

std::string& mpo_path() {
    static std::string path;
    return path;
}

[[noreturn]] void give_up(const char* what) {
    fprintf(stderr, "bench_micro: %s\n", what);
    exit(1);
}

std::vector<unsigned char> decode_into_vector(const Extent& picture, JDIMENSION* width, JDIMENSION* height) {
    ViewDecoder decoder;
    if (!open_view(&decoder, picture)) give_up("a view is not RGB");
    *width = decoder.cinfo.image_width;
    *height = decoder.cinfo.image_height;
    std::vector<unsigned char> raster(size_t{*width} * *height * kRgb);
    decode_view(&decoder, raster.data(), size_t{*width} * kRgb);
    return raster;
}

StereoViews load_views() {
    StereoViews views;
    if (!mpo_path().empty()) {
        Buffer file;
        if (!read_whole_file(mpo_path().c_str(), &file)) give_up("cannot read the --mpo file");
        views.mpo.assign(file.data.get(), file.data.get() + file.size);
    } else {
        const std::vector<unsigned char> left = render_view(kCameraWidth, kCameraHeight, 0);
        const std::vector<unsigned char> right = render_view(kCameraWidth, kCameraHeight, 1);
        views.mpo = make_stereo_mpo(left.data(), right.data(), kCameraWidth, kCameraHeight, JpegOptions{});
    }
    const std::vector<Extent> pictures = find_pictures(views.mpo.data(), views.mpo.size());
    if (pictures.size() < 2) give_up("the MPO has fewer than two pictures");
    views.pictures = pictures.size();
    JDIMENSION right_width = 0;
    JDIMENSION right_height = 0;
    views.left = decode_into_vector(pictures[0], &views.width, &views.height);
    views.right = decode_into_vector(pictures[1], &right_width, &right_height);
    if (right_width != views.width || right_height != views.height) give_up("the views differ in size");
    return views;
}

const StereoViews& views() {
    static const StereoViews loaded = load_views();
    return loaded;
}

size_t view_pixels() {
    return size_t{views().width} * views().height;
}

// The MPO repeated until the stream holds at least kLocatorStreamBytes.
const std::vector<unsigned char>& locator_stream() {
    static const std::vector<unsigned char> stream = [] {
        std::vector<unsigned char> bytes;
        while (bytes.size() < kLocatorStreamBytes)
            bytes.insert(bytes.end(), views().mpo.begin(), views().mpo.end());
        return bytes;
    }();
    return stream;
}

void set_pixels_processed(benchmark::State& state, size_t pixels_per_iteration) {
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(pixels_per_iteration));
    state.SetLabel(std::to_string(views().width) + "x" + std::to_string(views().height));
}

void BM_Locator(benchmark::State& state) {
    const std::vector<unsigned char>& stream = locator_stream();
    const size_t copies = stream.size() / views().mpo.size();
    const int expected = static_cast<int>(std::min<size_t>(copies * views().pictures, kMaxStarts));
    FILE* in = fmemopen(const_cast<unsigned char*>(stream.data()), stream.size(), "rb");
    if (in == nullptr) {
        state.SkipWithError("fmemopen failed");
        return;
    }
    StartTable table{};
    int count = 0;
    for ([[maybe_unused]] auto _ : state) {
        rewind(in);
        findJPEGs(in, &table, &count);
        benchmark::DoNotOptimize(count);
        benchmark::ClobberMemory();
    }
    (void)fclose(in);  // a memory stream opened for reading
    if (count != expected) state.SkipWithError("the locator found a different number of pictures");
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(stream.size()));
}

void BM_DuboisAnaglyph(benchmark::State& state) {
    std::vector<unsigned char> out(views().left.size());
    for ([[maybe_unused]] auto _ : state) {
        dubois_anaglyph(views().left.data(), views().right.data(), out.data(), view_pixels());
        benchmark::ClobberMemory();
    }
    set_pixels_processed(state, view_pixels());
}

// As korventale calls it: the anaglyph replaces the left view. The left view
// is restored outside the timed part, so that every pass mixes real pixels.
void BM_DuboisAnaglyphInPlace(benchmark::State& state) {
    std::vector<unsigned char> work(views().left.size());
    for ([[maybe_unused]] auto _ : state) {
        state.PauseTiming();
        memcpy(work.data(), views().left.data(), work.size());
        state.ResumeTiming();
        dubois_anaglyph(work.data(), views().right.data(), work.data(), view_pixels());
        benchmark::ClobberMemory();
    }
    set_pixels_processed(state, view_pixels());
}

// The plain formula one pixel at a time: what the faster evaluations are
// compared with.
void BM_DuboisPixelLoop(benchmark::State& state) {
    std::vector<unsigned char> out(views().left.size());
    const unsigned char* left = views().left.data();
    const unsigned char* right = views().right.data();
    for ([[maybe_unused]] auto _ : state) {
        for (size_t p = 0; p < out.size(); p += kRgb) dubois_pixel(left + p, right + p, out.data() + p);
        benchmark::ClobberMemory();
    }
    set_pixels_processed(state, view_pixels());
}

void BM_ColourAnaglyph(benchmark::State& state) {
    std::vector<unsigned char> out(views().left.size());
    for ([[maybe_unused]] auto _ : state) {
        colour_anaglyph(views().left.data(), views().right.data(), out.data(), view_pixels());
        benchmark::ClobberMemory();
    }
    set_pixels_processed(state, view_pixels());
}

// As trismoldaven calls it, in place of the left view.
void BM_ColourAnaglyphInPlace(benchmark::State& state) {
    std::vector<unsigned char> work(views().left.size());
    for ([[maybe_unused]] auto _ : state) {
        state.PauseTiming();
        memcpy(work.data(), views().left.data(), work.size());
        state.ResumeTiming();
        colour_anaglyph(work.data(), views().right.data(), work.data(), view_pixels());
        benchmark::ClobberMemory();
    }
    set_pixels_processed(state, view_pixels());
}

// The JPS picture as vostrin writes it: right view in the left halves of the
// rows, left view in the right halves. vostrin decodes the views into place,
// so it has no composing rule to measure, only this output to encode.
std::vector<unsigned char> jps_picture() {
    std::vector<unsigned char> jps(2 * views().left.size());
    const size_t view_row = size_t{views().width} * kRgb;
    for (size_t y = 0; y < views().height; ++y) {
        memcpy(jps.data() + 2 * y * view_row, views().right.data() + y * view_row, view_row);
        memcpy(jps.data() + (2 * y + 1) * view_row, views().left.data() + y * view_row, view_row);
    }
    return jps;
}

// Decoding one view from memory with the library's defaults: the tools'
// fixed cost, twice per file.
void BM_DecodeView(benchmark::State& state) {
    const std::vector<Extent> pictures = find_pictures(views().mpo.data(), views().mpo.size());
    std::vector<unsigned char> raster(views().left.size());
    for ([[maybe_unused]] auto _ : state) {
        ViewDecoder decoder;
        if (!open_view(&decoder, pictures[0])) give_up("a view is not RGB");
        decode_view(&decoder, raster.data(), size_t{views().width} * kRgb);
        benchmark::ClobberMemory();
    }
    set_pixels_processed(state, view_pixels());
}

// The encoder's speed depends on what it encodes, so each output is encoded
// as it is: the floor's raw left view against the rules' results.
void run_encoder(benchmark::State& state, const std::vector<unsigned char>& raster, JDIMENSION width) {
    size_t stream_size = 0;
    for ([[maybe_unused]] auto _ : state) {
        stream_size = encode_to_memory(raster.data(), width, views().height);
        benchmark::DoNotOptimize(stream_size);
    }
    set_pixels_processed(state, size_t{width} * views().height);
    // A label rather than a counter: the CSV reporter wants the same counters on every benchmark.
    state.SetLabel(std::to_string(width) + "x" + std::to_string(views().height) + ", " +
                   std::to_string(stream_size) + " bytes");
}

void BM_EncodeLeftView(benchmark::State& state) {
    run_encoder(state, views().left, views().width);
}

void BM_EncodeDuboisAnaglyph(benchmark::State& state) {
    std::vector<unsigned char> out(views().left.size());
    dubois_anaglyph(views().left.data(), views().right.data(), out.data(), view_pixels());
    run_encoder(state, out, views().width);
}

void BM_EncodeColourAnaglyph(benchmark::State& state) {
    std::vector<unsigned char> out(views().left.size());
    colour_anaglyph(views().left.data(), views().right.data(), out.data(), view_pixels());
    run_encoder(state, out, views().width);
}

void BM_EncodeSideBySide(benchmark::State& state) {
    run_encoder(state, jps_picture(), 2 * views().width);
}

BENCHMARK(BM_Locator)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DuboisAnaglyph)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DuboisAnaglyphInPlace)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DuboisPixelLoop)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ColourAnaglyph)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ColourAnaglyphInPlace)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DecodeView)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EncodeLeftView)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EncodeDuboisAnaglyph)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EncodeColourAnaglyph)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EncodeSideBySide)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    // Our one option is taken out before Google Benchmark sees the rest.
    const std::string option = "--mpo=";
    int kept = 1;
    for (int i = 1; i < argc; ++i) {
        if (strncmp(argv[i], option.c_str(), option.size()) == 0) {
            mpo_path() = argv[i] + option.size();
        } else {
            argv[kept++] = argv[i];
        }
    }
    argc = kept;
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
