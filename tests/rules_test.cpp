// The two anaglyph rules on small rasters in memory. Views are odd-sized
// and differ from each other, so that a swapped view or a wrong stride fails.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "colour_anaglyph.hpp"
#include "dubois.hpp"

using Pixels = std::vector<unsigned char>;

namespace {

Pixels dubois_of(Pixels left, const Pixels& right) {
    Pixels out(left.size());
    dubois_anaglyph(left.data(), right.data(), out.data(), left.size() / 3);
    return out;
}

// Deterministic, distinct contents for the left (seed 1) and right (seed 2) views.
Pixels pattern(size_t pixels, unsigned seed) {
    Pixels result(pixels * 3);
    unsigned state = seed;
    for (unsigned char& v : result) {
        state = state * 1664525u + 1013904223u;
        v = static_cast<unsigned char>(state >> 24);
    }
    return result;
}

}  // namespace

TEST(DuboisRule, EdgeCasesOfTruncationAndClamping) {
    const struct {
        Pixels left, right, expected;
    } cases[] = {
        {{255, 255, 255}, {255, 255, 255}, {254, 255, 255}},  // red sums to 999
        {{0, 0, 0}, {0, 0, 0}, {0, 0, 0}},
        {{255, 0, 0}, {0, 0, 0}, {116, 0, 0}},  // -10.2 and -3.825 truncate, then clamp
        {{0, 0, 0}, {0, 0, 255}, {0, 0, 255}},  // 312.63 clamps to 255
        {{0, 0, 0}, {0, 255, 0}, {0, 187, 0}},  // 187.17 truncates to 187
        {{0, 0, 0}, {255, 0, 0}, {0, 96, 0}},   // 96.39; red -10.965 clamps
        {{0, 255, 0}, {0, 0, 0}, {127, 0, 0}},  // 127.5 truncates, does not round
        {{10, 20, 30}, {40, 50, 60}, {13, 49, 64}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(dubois_of(c.left, c.right), c.expected)
            << int(c.left[0]) << "," << int(c.left[1]) << "," << int(c.left[2]) << " / " << int(c.right[0])
            << "," << int(c.right[1]) << "," << int(c.right[2]);
    }
}

TEST(DuboisRule, WholeRasterMatchesThePlainFormulaAlsoInPlace) {
    const size_t pixels = size_t{7} * 5;
    const Pixels left = pattern(pixels, 1), right = pattern(pixels, 2);
    Pixels expected(pixels * 3);
    for (size_t p = 0; p < pixels * 3; p += 3) dubois_pixel(&left[p], &right[p], &expected[p]);
    EXPECT_EQ(dubois_of(left, right), expected);
    // NOLINTNEXTLINE(readability-suspicious-call-argument): the views are swapped on purpose
    EXPECT_NE(dubois_of(right, left), expected) << "views must not be interchangeable";

    Pixels in_place = left;
    dubois_anaglyph(in_place.data(), right.data(), in_place.data(), pixels);
    EXPECT_EQ(in_place, expected);
}

// The whole raster goes through a vector kernel where the processor has one;
// it must give the plain formula's bytes for every input.
TEST(DuboisRule, FastEvaluationIsBitIdenticalToThePlainFormula) {
    // Every combination of the extremes and the values around the clamping
    // and truncation boundaries, then a large random sample.
    const unsigned char levels[] = {0, 1, 2, 127, 128, 253, 254, 255};
    Pixels left, right;
    for (int k = 0; k < 8 * 8 * 8 * 8 * 8 * 8; ++k) {
        int code = k;
        for (int c = 0; c < 6; ++c, code /= 8) (c < 3 ? left : right).push_back(levels[code % 8]);
    }
    std::mt19937 rng(2024);
    for (int k = 0; k < 3 * 2000000; ++k) {
        left.push_back(static_cast<unsigned char>(rng()));
        right.push_back(static_cast<unsigned char>(rng()));
    }
    Pixels expected(left.size());
    for (size_t p = 0; p < left.size(); p += 3) dubois_pixel(&left[p], &right[p], &expected[p]);
    const Pixels fast = dubois_of(left, right);
    for (size_t p = 0; p < left.size(); p += 3) {
        ASSERT_TRUE(fast[p] == expected[p] && fast[p + 1] == expected[p + 1] &&
                    fast[p + 2] == expected[p + 2])
            << "pixel " << p / 3 << ": " << int(left[p]) << "," << int(left[p + 1]) << "," << int(left[p + 2])
            << " / " << int(right[p]) << "," << int(right[p + 1]) << "," << int(right[p + 2]);
    }

    // Every length up to a few vector steps, so that each tail is covered,
    // in place as well; nothing is written past the end.
    for (size_t n = 0; n <= 40; ++n) {
        Pixels out(n * 3 + 16, 0xAB);
        dubois_anaglyph(left.data(), right.data(), out.data(), n);
        ASSERT_TRUE(std::equal(expected.begin(), expected.begin() + n * 3, out.begin())) << n;
        ASSERT_TRUE(std::all_of(out.begin() + n * 3, out.end(), [](unsigned char v) { return v == 0xAB; }))
            << n;
        Pixels in_place(left.begin(), left.begin() + n * 3);
        dubois_anaglyph(in_place.data(), right.data(), in_place.data(), n);
        ASSERT_TRUE(std::equal(expected.begin(), expected.begin() + n * 3, in_place.begin())) << n;
    }
}

TEST(ColourRule, RedFromLeftGreenAndBlueFromRight) {
    const auto compose = [](Pixels left, const Pixels& right) {
        Pixels out(left.size());
        colour_anaglyph(left.data(), right.data(), out.data(), left.size() / 3);
        return out;
    };
    EXPECT_EQ(compose({10, 20, 30}, {40, 50, 60}), Pixels({10, 50, 60}));
    EXPECT_EQ(compose({255, 0, 0}, {0, 0, 0}), Pixels({255, 0, 0}));
    EXPECT_EQ(compose({0, 0, 0}, {255, 255, 255}), Pixels({0, 255, 255}));

    const size_t pixels = size_t{5} * 3;
    const Pixels left = pattern(pixels, 1), right = pattern(pixels, 2);
    EXPECT_EQ(compose(left, left), left);
    Pixels in_place = left;
    colour_anaglyph(in_place.data(), right.data(), in_place.data(), pixels);
    for (size_t p = 0; p < pixels * 3; p += 3) {
        ASSERT_EQ(in_place[p], left[p]);
        ASSERT_EQ(in_place[p + 1], right[p + 1]);
        ASSERT_EQ(in_place[p + 2], right[p + 2]);
    }
}
