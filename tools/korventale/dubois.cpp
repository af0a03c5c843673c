#include "dubois.hpp"

#include <cstdint>
#include <cstring>

#if (defined(__x86_64__) || defined(__i386__)) && (defined(__GNUC__) || defined(__clang__))
#define DUBOIS_HAVE_AVX2 1
#include <immintrin.h>
#elif defined(__wasm_simd128__)
#define DUBOIS_HAVE_WASM_SIMD 1
#include <wasm_simd128.h>
#endif

namespace {

// Dubois's least-squares projection for red-cyan glasses, in thousandths.
// Rows are the output red, green and blue; columns the left view's R, G, B
// then the right view's R, G, B. Red comes almost wholly from the left view,
// green and blue from the right one; the small negative terms cancel the
// crosstalk of the filters. The largest sum, 1226 x 255, fits 32 bits.
constexpr int kDuboisMatrix[3][6] = {
    {456, 500, 176, -43, -88, -2},
    {-40, -38, -16, 378, 734, -18},
    {-15, -21, -5, -72, -113, 1226},
};
constexpr int kMatrixScale = 1000;
constexpr int kMaxSample = 255;

#if DUBOIS_HAVE_AVX2 || DUBOIS_HAVE_WASM_SIMD

// The vector kernels give exactly the plain formula's bytes, by these steps:
// - A negative sum truncates to a quotient of at most 0, which clamps to 0,
//   and a sum of 256000 or more clamps to 255; so the result is
//   floor(min(max(sum, 0), 255999) / 1000).
// - floor(s / 1000) = floor(floor(s / 8) / 125) for s >= 0, and s / 8 lies in
//   -7204 .. 39078, so it is clamped to 0 .. 31999 (= 255999 / 8). AVX2 packs
//   it into 16-bit lanes first, which saturate at 32767, above 31999.
// - floor(t / 125) = (t * 33555) >> 22 for every t in 0 .. 31999 (33555 is
//   2^22 / 125 rounded up; the tests check the whole range through the
//   kernel). The product stays below 2^31, so 32-bit lanes hold it too.
constexpr int kPreShift = 3;
constexpr int16_t kMaxPreShifted = 31999;
constexpr uint16_t kReciprocal125 = 33555;
constexpr int kReciprocalShift = 22;

// Both kernels take eight pixels per step, as two groups of four whose loads
// of sixteen bytes reach four bytes past the twelve of the group.
constexpr size_t kStepPixels = 8;
constexpr size_t kStepBytes = kStepPixels * 3;
constexpr size_t kGroupBytes = kStepBytes / 2;

size_t vector_steps(size_t pixels) {
    return pixels < kStepPixels + 2 ? 0 : (pixels - 2) / kStepPixels;
}

// The coefficients of one output channel for one input channel pair: the
// left view's in the low 16 bits of a 32-bit lane, the right view's in the
// high 16 bits, as the pairs of samples below lie.
int32_t pair_coefficient(int channel, int input) {
    const uint32_t left = static_cast<uint16_t>(kDuboisMatrix[channel][input]);
    const uint32_t right = static_cast<uint16_t>(kDuboisMatrix[channel][input + 3]);
    return static_cast<int32_t>(left | (right << 16));
}

// The byte shuffle that gathers input channel c of a group of four pixels
// (12 bytes) into 16-bit lanes: the left view's sample at even lanes, the
// right view's at odd ones, each with a zero high byte. An index with its
// high bit set zeroes its byte in both instruction sets (out of range for
// WebAssembly's swizzle).
void fill_channel_mask(int c, bool right, int8_t mask[16]) {
    constexpr int8_t kZeroByte = -1;
    for (int k = 0; k < 4; ++k) {
        const int8_t source = static_cast<int8_t>(3 * k + c);
        const int first = 4 * k;
        int8_t* slot = mask + first;
        slot[0] = right ? kZeroByte : source;
        slot[1] = kZeroByte;
        slot[2] = right ? source : kZeroByte;
        slot[3] = kZeroByte;
    }
}

#endif

#if DUBOIS_HAVE_AVX2

constexpr int kHighHalfShift = kReciprocalShift - 16;  // after the high half of the product

__attribute__((target("avx2"))) __m256i pair_coefficients(int channel, int input) {
    return _mm256_set1_epi32(pair_coefficient(channel, input));
}

// The same shuffle in each 128-bit half, which shuffles on its own.
__attribute__((target("avx2"))) __m256i channel_mask(int c, bool right) {
    alignas(32) int8_t mask[32];
    fill_channel_mask(c, right, mask);
    fill_channel_mask(c, right, mask + 16);
    return _mm256_load_si256(reinterpret_cast<const __m256i*>(mask));
}

// Loads pixels 0-3 into the low half and 4-7 into the high half; reads four
// bytes beyond the eight pixels.
__attribute__((target("avx2"))) __m256i load_eight_pixels(const unsigned char* p) {
    const __m128i low = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i high = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + kGroupBytes));
    return _mm256_inserti128_si256(_mm256_castsi128_si256(low), high, 1);
}

__attribute__((target("avx2"))) size_t dubois_avx2(const unsigned char* left, const unsigned char* right,
                                                   unsigned char* out, size_t pixels) {
    const size_t steps = vector_steps(pixels);

    __m256i coefficients[3][3];
    for (int channel = 0; channel < 3; ++channel) {
        for (int input = 0; input < 3; ++input)
            coefficients[channel][input] = pair_coefficients(channel, input);
    }
    const __m256i gather_left[3] = {channel_mask(0, false), channel_mask(1, false), channel_mask(2, false)};
    const __m256i gather_right[3] = {channel_mask(0, true), channel_mask(1, true), channel_mask(2, true)};
    const __m256i zero = _mm256_setzero_si256();
    const __m256i max_pre_shifted = _mm256_set1_epi16(kMaxPreShifted);
    const __m256i reciprocal = _mm256_set1_epi16(static_cast<int16_t>(kReciprocal125));
    // Bytes come out as r0-r3 g0-g3 b0-b3 per half; back to r g b r g b ...
    const __m256i interleave = _mm256_setr_epi8(0, 4, 8, 1, 5, 9, 2, 6, 10, 3, 7, 11, -1, -1, -1, -1,  //
                                                0, 4, 8, 1, 5, 9, 2, 6, 10, 3, 7, 11, -1, -1, -1, -1);

    for (size_t step = 0; step < steps; ++step) {
        const size_t offset = step * kStepBytes;
        const __m256i l = load_eight_pixels(left + offset);
        const __m256i r = load_eight_pixels(right + offset);
        __m256i pairs[3];
        for (int c = 0; c < 3; ++c) {
            pairs[c] = _mm256_or_si256(_mm256_shuffle_epi8(l, gather_left[c]),
                                       _mm256_shuffle_epi8(r, gather_right[c]));
        }
        __m256i sums[3];
        for (int channel = 0; channel < 3; ++channel) {
            __m256i sum = _mm256_madd_epi16(pairs[0], coefficients[channel][0]);
            sum = _mm256_add_epi32(sum, _mm256_madd_epi16(pairs[1], coefficients[channel][1]));
            sum = _mm256_add_epi32(sum, _mm256_madd_epi16(pairs[2], coefficients[channel][2]));
            sums[channel] = _mm256_srai_epi32(sum, kPreShift);
        }
        __m256i red_green = _mm256_packs_epi32(sums[0], sums[1]);
        __m256i blue = _mm256_packs_epi32(sums[2], sums[2]);
        red_green = _mm256_min_epi16(_mm256_max_epi16(red_green, zero), max_pre_shifted);
        blue = _mm256_min_epi16(_mm256_max_epi16(blue, zero), max_pre_shifted);
        red_green = _mm256_srli_epi16(_mm256_mulhi_epu16(red_green, reciprocal), kHighHalfShift);
        blue = _mm256_srli_epi16(_mm256_mulhi_epu16(blue, reciprocal), kHighHalfShift);
        const __m256i rgb = _mm256_shuffle_epi8(_mm256_packus_epi16(red_green, blue), interleave);

        // Twelve bytes per half. The low half is stored as sixteen bytes whose
        // last four the high half then overwrites, and nothing is written past
        // this step's pixels, so `out` may be `left`.
        const __m128i low = _mm256_castsi256_si128(rgb);
        const __m128i high = _mm256_extracti128_si256(rgb, 1);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + offset), low);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out + offset + 12), high);
        const uint32_t last = static_cast<uint32_t>(_mm_cvtsi128_si32(_mm_srli_si128(high, 8)));
        memcpy(out + offset + 20, &last, sizeof last);
    }
    return steps * kStepPixels;
}

bool cpu_has_avx2() {
    static const bool has = __builtin_cpu_supports("avx2");
    return has;
}

#endif

#if DUBOIS_HAVE_WASM_SIMD

v128_t channel_mask(int c, bool right) {
    int8_t mask[16];
    fill_channel_mask(c, right, mask);
    return wasm_v128_load(mask);
}

// Built only into the page's modules for browsers with WebAssembly SIMD,
// which have no 16-bit multiply-high: each group's sums are clamped and
// divided in 32-bit lanes, and packed to bytes afterwards.
size_t dubois_wasm_simd(const unsigned char* left, const unsigned char* right, unsigned char* out,
                        size_t pixels) {
    const size_t steps = vector_steps(pixels);

    v128_t coefficients[3][3];
    for (int channel = 0; channel < 3; ++channel) {
        for (int input = 0; input < 3; ++input)
            coefficients[channel][input] = wasm_i32x4_splat(pair_coefficient(channel, input));
    }
    const v128_t gather_left[3] = {channel_mask(0, false), channel_mask(1, false), channel_mask(2, false)};
    const v128_t gather_right[3] = {channel_mask(0, true), channel_mask(1, true), channel_mask(2, true)};
    const v128_t zero = wasm_i32x4_splat(0);
    const v128_t max_pre_shifted = wasm_i32x4_splat(kMaxPreShifted);
    const v128_t reciprocal = wasm_i32x4_splat(kReciprocal125);

    for (size_t step = 0; step < steps; ++step) {
        const size_t offset = step * kStepBytes;
        v128_t mixed[2][3];  // group, output channel: four results in 32-bit lanes
        for (size_t group = 0; group < 2; ++group) {
            const v128_t l = wasm_v128_load(left + offset + group * kGroupBytes);
            const v128_t r = wasm_v128_load(right + offset + group * kGroupBytes);
            v128_t pairs[3];
            for (int c = 0; c < 3; ++c) {
                pairs[c] = wasm_v128_or(wasm_i8x16_swizzle(l, gather_left[c]),
                                        wasm_i8x16_swizzle(r, gather_right[c]));
            }
            for (int channel = 0; channel < 3; ++channel) {
                v128_t sum = wasm_i32x4_dot_i16x8(pairs[0], coefficients[channel][0]);
                sum = wasm_i32x4_add(sum, wasm_i32x4_dot_i16x8(pairs[1], coefficients[channel][1]));
                sum = wasm_i32x4_add(sum, wasm_i32x4_dot_i16x8(pairs[2], coefficients[channel][2]));
                v128_t t = wasm_i32x4_shr(sum, kPreShift);
                t = wasm_i32x4_min(wasm_i32x4_max(t, zero), max_pre_shifted);
                mixed[group][channel] = wasm_u32x4_shr(wasm_i32x4_mul(t, reciprocal), kReciprocalShift);
            }
        }
        // Bytes r0-r3 g0-g3 r4-r7 g4-g7 and b0-b7, whose values 0 .. 255 the
        // saturating packs keep; then back to r g b r g b ...
        const v128_t red_green = wasm_u8x16_narrow_i16x8(wasm_i16x8_narrow_i32x4(mixed[0][0], mixed[0][1]),
                                                         wasm_i16x8_narrow_i32x4(mixed[1][0], mixed[1][1]));
        const v128_t blue_words = wasm_i16x8_narrow_i32x4(mixed[0][2], mixed[1][2]);
        const v128_t blue = wasm_u8x16_narrow_i16x8(blue_words, blue_words);
        const v128_t first =
            wasm_i8x16_shuffle(red_green, blue, 0, 4, 16, 1, 5, 17, 2, 6, 18, 3, 7, 19, 8, 12, 20, 9);
        const v128_t rest =
            wasm_i8x16_shuffle(red_green, blue, 13, 21, 10, 14, 22, 11, 15, 23, 0, 0, 0, 0, 0, 0, 0, 0);
        // Exactly this step's 24 bytes, after all its loads: `out` may be `left`.
        wasm_v128_store(out + offset, first);
        wasm_v128_store64_lane(out + offset + 16, rest, 0);
    }
    return steps * kStepPixels;
}

#endif

}  // namespace

void dubois_pixel(const unsigned char* left, const unsigned char* right, unsigned char* out) {
    const int in[6] = {left[0], left[1], left[2], right[0], right[1], right[2]};
    int mixed[3];
    for (int channel = 0; channel < 3; ++channel) {
        int sum = 0;
        for (int k = 0; k < 6; ++k) sum += kDuboisMatrix[channel][k] * in[k];
        int value = sum / kMatrixScale;  // truncates toward zero, never rounds
        if (value > kMaxSample) {
            value = kMaxSample;
        } else if (value < 0) {
            value = 0;
        }
        mixed[channel] = value;
    }
    for (int channel = 0; channel < 3; ++channel) out[channel] = static_cast<unsigned char>(mixed[channel]);
}

void dubois_anaglyph(const unsigned char* left, const unsigned char* right, unsigned char* out,
                     size_t pixels) {
    size_t done = 0;
#if DUBOIS_HAVE_AVX2
    if (cpu_has_avx2()) done = dubois_avx2(left, right, out, pixels);
#elif DUBOIS_HAVE_WASM_SIMD
    done = dubois_wasm_simd(left, right, out, pixels);
#endif
    for (size_t p = done * 3; p < pixels * 3; p += 3) dubois_pixel(left + p, right + p, out + p);
}
