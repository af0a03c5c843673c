#include "resample.hpp"

#include <array>
#include <cmath>

namespace {

// Source positions are rounded to 1/256 pixel, a hundredth of the matches'
// own precision, and each of the 256 phases has its four weights in 1/4096ths.
constexpr int kPhaseBits = 8;
constexpr int64_t kPhases = int64_t{1} << kPhaseBits;
constexpr int kWeightBits = 12;
constexpr int kTaps = 4;
constexpr double kKernelA = -0.75;

using Weights = std::array<std::array<int32_t, kTaps>, kPhases>;

// Keys's cubic convolution kernel with a = -1/2 (Catmull-Rom) at taps -1, 0,
// 1, 2 around a position t in [0, 1), rounded so that each phase sums to one
// exactly and flat areas keep their level.
Weights make_weights() {
    Weights w{};
    const double one = static_cast<double>(1 << kWeightBits);
    for (int64_t phase = 0; phase < kPhases; ++phase) {
        const double t = static_cast<double>(phase) / static_cast<double>(kPhases);
        const double a = kKernelA, u = 1 - t;
        const double exact[kTaps] = {a * t * u * u, ((a + 2) * t - (a + 3)) * t * t + 1,
                                     ((a + 2) * u - (a + 3)) * u * u + 1, a * t * t * u};
        int32_t sum = 0;
        int largest = 0;
        for (int k = 0; k < kTaps; ++k) {
            w[phase][k] = static_cast<int32_t>(std::floor(exact[k] * one + 0.5));
            sum += w[phase][k];
            if (exact[k] > exact[largest]) largest = k;
        }
        w[phase][largest] += (1 << kWeightBits) - sum;
    }
    return w;
}

const Weights& weights() {
    static const Weights w = make_weights();
    return w;
}

// A source position in 1/256 pixel: its whole pixel and its phase. The
// rounding is done by hand: std::floor is a library call where the
// processor has no rounding instruction of its own.
void split_position(double position, int64_t* whole, int64_t* phase) {
    const double scaled = position * static_cast<double>(kPhases) + 0.5;
    auto fixed = static_cast<int64_t>(scaled);
    if (static_cast<double>(fixed) > scaled) --fixed;
    *phase = fixed & (kPhases - 1);
    *whole = (fixed - *phase) / kPhases;
}

int64_t clamp_index(int64_t k, int64_t size) {
    return k < 0 ? 0 : (k >= size ? size - 1 : k);
}

Homography translation(double x, double y) {
    return {{1, 0, x, 0, 1, y, 0, 0, 1}};
}

}  // namespace

ViewWarp view_warp(const Correction& c, ViewSize size, const Crop& crop, int side) {
    // The source of an output pixel is where the view's transform came from.
    const Homography back = inverse(view_transform(c, size, side));
    const Homography from_output = translation(crop.left + 0.5, crop.top + 0.5);
    const Homography to_indices = translation(size.width / 2 - 0.5, size.height / 2 - 0.5);
    ViewWarp warp;
    warp.to_source = multiply(to_indices, multiply(back, from_output));
    warp.out_width = crop.width;
    warp.out_height = crop.height;
    return warp;
}

void resample_rows(const unsigned char* source, size_t width, size_t height, const ViewWarp& warp,
                   int64_t first_row, size_t rows, unsigned char* out, size_t stride) {
    const Weights& w = weights();
    const double* m = warp.to_source.m;
    const auto columns = static_cast<int64_t>(width), lines = static_cast<int64_t>(height);
    const size_t row_bytes = width * 3;
    // Each row of taps is summed in 1/4096ths, brought to 1/256ths (rounded
    // down, the same everywhere), then the column of four in 1/4096ths of
    // that: at most 1.25 x 255 x 256 x 4096 x 1.25, within 32 bits.
    constexpr int kAcrossShift = kWeightBits - 8;
    constexpr int kShift = kWeightBits + 8;
    constexpr int32_t kHalf = int32_t{1} << (kShift - 1);
    for (size_t r = 0; r < rows; ++r) {
        const auto j = static_cast<double>(first_row + static_cast<int64_t>(r));
        const double row_x = m[1] * j + m[2], row_y = m[4] * j + m[5], row_w = m[7] * j + m[8];
        unsigned char* o = out + r * stride;
        for (int64_t i = 0; i < warp.out_width; ++i) {
            const auto column = static_cast<double>(i);
            const double scale = m[6] * column + row_w;
            int64_t x0 = 0, y0 = 0, phase_x = 0, phase_y = 0;
            split_position((m[0] * column + row_x) / scale, &x0, &phase_x);
            split_position((m[3] * column + row_y) / scale, &y0, &phase_y);
            const unsigned char* taps[kTaps][kTaps];
            for (int ky = 0; ky < kTaps; ++ky) {
                const unsigned char* line =
                    source + static_cast<size_t>(clamp_index(y0 - 1 + ky, lines)) * row_bytes;
                for (int kx = 0; kx < kTaps; ++kx) {
                    taps[ky][kx] = line + static_cast<size_t>(clamp_index(x0 - 1 + kx, columns)) * 3;
                }
            }
            const int32_t* wx = w[phase_x].data();
            const int32_t* wy = w[phase_y].data();
            for (int c = 0; c < 3; ++c) {
                int32_t sum = kHalf;
                for (int ky = 0; ky < kTaps; ++ky) {
                    const int32_t across = wx[0] * taps[ky][0][c] + wx[1] * taps[ky][1][c] +
                                           wx[2] * taps[ky][2][c] + wx[3] * taps[ky][3][c];
                    sum += wy[ky] * (across >> kAcrossShift);
                }
                const int32_t v = sum >> kShift;
                o[3 * i + c] = static_cast<unsigned char>(v < 0 ? 0 : (v > 255 ? 255 : v));
            }
        }
    }
}
