#include "dubois.hpp"

#include <cstdint>
#include <cstring>

#if (defined(__x86_64__) || defined(__i386__)) && (defined(__GNUC__) || defined(__clang__))
#define DUBOIS_HAVE_AVX2 1
#include <immintrin.h>
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

#if DUBOIS_HAVE_AVX2

// The vector kernel gives exactly the plain formula's bytes, by these steps:
// - A negative sum truncates to a quotient of at most 0, which clamps to 0,
//   and a sum of 256000 or more clamps to 255; so the result is
//   floor(min(max(sum, 0), 255999) / 1000).
// - floor(s / 1000) = floor(floor(s / 8) / 125) for s >= 0, and s / 8 lies in
//   -7204 .. 39078, which 16-bit lanes hold once saturated at 32767 (anything
//   above 31999 = 255999 / 8 clamps to 255 anyway).
// - floor(t / 125) = (t * 33555) >> 22 for every t in 0 .. 31999 (33555 is
//   2^22 / 125 rounded up; the tests check the whole range through the
//   kernel).
constexpr int kPreShift = 3;
constexpr int16_t kMaxPreShifted = 31999;
constexpr uint16_t kReciprocal125 = 33555;
constexpr int kReciprocalShift = 22 - 16;  // after the high half of the product

// Sum coefficients for one output channel and one input channel pair: the
// left view's sample in the low 16 bits of each 32-bit lane, the right
// view's in the high 16 bits.
__attribute__((target("avx2"))) __m256i pair_coefficients(int channel, int input) {
    const uint32_t left = static_cast<uint16_t>(kDuboisMatrix[channel][input]);
    const uint32_t right = static_cast<uint16_t>(kDuboisMatrix[channel][input + 3]);
    return _mm256_set1_epi32(static_cast<int>(left | (right << 16)));
}

// Gathers input channel c of four pixels (12 bytes) into 16-bit lanes: the
// left view's sample at even 16-bit lanes, the right view's at odd ones.
__attribute__((target("avx2"))) __m256i channel_mask(int c, bool right) {
    // A shuffle index with its high bit set zeroes the byte.
    constexpr int8_t kZeroByte = -1;
    alignas(32) int8_t mask[32];
    for (int k = 0; k < 4; ++k) {
        const int8_t source = static_cast<int8_t>(3 * k + c);
        for (int lane = 0; lane < 2; ++lane) {
            const int first = 16 * lane + 4 * k;
            int8_t* slot = mask + first;
            slot[0] = right ? kZeroByte : source;
            slot[1] = kZeroByte;
            slot[2] = right ? source : kZeroByte;
            slot[3] = kZeroByte;
        }
    }
    return _mm256_load_si256(reinterpret_cast<const __m256i*>(mask));
}

// Loads pixels 0-3 into the low half and 4-7 into the high half; reads four
// bytes beyond the eight pixels.
__attribute__((target("avx2"))) __m256i load_eight_pixels(const unsigned char* p) {
    const __m128i low = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i high = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 12));
    return _mm256_inserti128_si256(_mm256_castsi128_si256(low), high, 1);
}

__attribute__((target("avx2"))) size_t dubois_avx2(const unsigned char* left, const unsigned char* right,
                                                   unsigned char* out, size_t pixels) {
    // Eight pixels per step; the loads reach four bytes past them.
    if (pixels < 10) return 0;
    const size_t steps = (pixels - 2) / 8;

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
        const size_t offset = step * 24;
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
        red_green = _mm256_srli_epi16(_mm256_mulhi_epu16(red_green, reciprocal), kReciprocalShift);
        blue = _mm256_srli_epi16(_mm256_mulhi_epu16(blue, reciprocal), kReciprocalShift);
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
    return steps * 8;
}

bool cpu_has_avx2() {
    static const bool has = __builtin_cpu_supports("avx2");
    return has;
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
#endif
    for (size_t p = done * 3; p < pixels * 3; p += 3) dubois_pixel(left + p, right + p, out + p);
}
