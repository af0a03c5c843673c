#include "resample.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <vector>

namespace {

// Source positions are rounded to 1/256 pixel, a hundredth of the matches'
// own precision, and each of the 256 phases has its four weights in 1/4096ths.
constexpr int kPhaseBits = 8;
constexpr int64_t kPhases = int64_t{1} << kPhaseBits;
constexpr int kWeightBits = 12;
constexpr int kTaps = 4;
constexpr double kKernelA = -0.75;  // as OpenCV's INTER_CUBIC

using Weights = std::array<std::array<int32_t, kTaps>, kPhases>;

// Keys's cubic convolution kernel with a = kKernelA at taps -1, 0,
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

// A source position in 1/256 pixel. The rounding is done by hand: std::floor
// is a library call where the processor has no rounding instruction of its
// own. Positions are kept within a range that no view reaches, so that the
// conversion is defined whatever the correction.
int32_t fixed_position(double position) {
    constexpr double kFar = 1 << 30;
    const double scaled = std::min(kFar, std::max(-kFar, position * static_cast<double>(kPhases) + 0.5));
    auto fixed = static_cast<int32_t>(scaled);
    if (static_cast<double>(fixed) > scaled) --fixed;
    return fixed;
}

// Its whole pixel (rounded down) and its phase.
int64_t whole_of(int32_t fixed) {
    return (static_cast<int64_t>(fixed) - (fixed & (kPhases - 1))) / kPhases;
}

int64_t clamp_index(int64_t k, int64_t size) {
    return k < 0 ? 0 : (k >= size ? size - 1 : k);
}

// One output pixel from its 4 x 4 taps. Each row of taps is summed in
// 1/4096ths, brought to 1/256ths (rounded down, the same everywhere), then
// the column of four in 1/4096ths of that: at most 1.25 x 255 x 256 x 4096 x
// 1.25, within 32 bits.
void filter(const unsigned char* const (&taps)[kTaps][kTaps], const int32_t* wx, const int32_t* wy,
            unsigned char* out) {
    constexpr int kAcrossShift = kWeightBits - 8;
    constexpr int kShift = kWeightBits + 8;
    constexpr int32_t kHalf = int32_t{1} << (kShift - 1);
    for (int c = 0; c < 3; ++c) {
        int32_t sum = kHalf;
        for (int ky = 0; ky < kTaps; ++ky) {
            const int32_t across = wx[0] * taps[ky][0][c] + wx[1] * taps[ky][1][c] + wx[2] * taps[ky][2][c] +
                                   wx[3] * taps[ky][3][c];
            sum += wy[ky] * (across >> kAcrossShift);
        }
        const int32_t v = sum >> kShift;
        out[c] = static_cast<unsigned char>(v < 0 ? 0 : (v > 255 ? 255 : v));
    }
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
    // The positions of a row first, in a loop of their own that the compiler
    // can keep busy with the divisions, then the taps.
    std::vector<int32_t> fixed_x(static_cast<size_t>(warp.out_width)), fixed_y(fixed_x.size());
    for (size_t r = 0; r < rows; ++r) {
        const auto j = static_cast<double>(first_row + static_cast<int64_t>(r));
        const double row_x = m[1] * j + m[2], row_y = m[4] * j + m[5], row_w = m[7] * j + m[8];
        for (size_t i = 0; i < fixed_x.size(); ++i) {
            const auto column = static_cast<double>(i);
            const double scale = m[6] * column + row_w;
            fixed_x[i] = fixed_position((m[0] * column + row_x) / scale);
            fixed_y[i] = fixed_position((m[3] * column + row_y) / scale);
        }
        unsigned char* o = out + r * stride;
        for (size_t i = 0; i < fixed_x.size(); ++i, o += 3) {
            const int64_t x0 = whole_of(fixed_x[i]), y0 = whole_of(fixed_y[i]);
            const int32_t* wx = w[fixed_x[i] & (kPhases - 1)].data();
            const int32_t* wy = w[fixed_y[i] & (kPhases - 1)].data();
            const unsigned char* taps[kTaps][kTaps];
            if (x0 >= 1 && x0 + 2 < columns && y0 >= 1 && y0 + 2 < lines) {
                // Inside the view: the four taps of a row lie side by side.
                const unsigned char* p =
                    source + static_cast<size_t>(y0 - 1) * row_bytes + static_cast<size_t>(x0 - 1) * 3;
                for (int ky = 0; ky < kTaps; ++ky, p += row_bytes) {
                    for (int kx = 0; kx < kTaps; ++kx) taps[ky][kx] = p + 3 * static_cast<ptrdiff_t>(kx);
                }
            } else {
                // At the edges each tap is the nearest pixel of the view.
                for (int ky = 0; ky < kTaps; ++ky) {
                    const unsigned char* line =
                        source + static_cast<size_t>(clamp_index(y0 - 1 + ky, lines)) * row_bytes;
                    for (int kx = 0; kx < kTaps; ++kx) {
                        taps[ky][kx] = line + static_cast<size_t>(clamp_index(x0 - 1 + kx, columns)) * 3;
                    }
                }
            }
            filter(taps, wx, wy, o);
        }
    }
}
