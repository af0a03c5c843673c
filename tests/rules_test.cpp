// The three composing rules on small rasters in memory. Views are odd-sized
// and differ from each other, so that a swapped view or a wrong stride fails.
#include <gtest/gtest.h>

#include <vector>

#include "colour_anaglyph.hpp"
#include "dubois.hpp"
#include "side_by_side.hpp"

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
        {{255, 0, 0}, {0, 0, 0}, {116, 0, 0}},    // -10.2 and -3.825 truncate, then clamp
        {{0, 0, 0}, {0, 0, 255}, {0, 0, 255}},    // 312.63 clamps to 255
        {{0, 0, 0}, {0, 255, 0}, {0, 187, 0}},    // 187.17 truncates to 187
        {{0, 0, 0}, {255, 0, 0}, {0, 96, 0}},     // 96.39; red -10.965 clamps
        {{0, 255, 0}, {0, 0, 0}, {127, 0, 0}},    // 127.5 truncates, does not round
        {{10, 20, 30}, {40, 50, 60}, {13, 49, 64}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(dubois_of(c.left, c.right), c.expected)
            << int(c.left[0]) << "," << int(c.left[1]) << "," << int(c.left[2]) << " / " << int(c.right[0]) << ","
            << int(c.right[1]) << "," << int(c.right[2]);
    }
}

TEST(DuboisRule, WholeRasterMatchesThePlainFormulaAlsoInPlace) {
    const size_t pixels = 7 * 5;
    const Pixels left = pattern(pixels, 1), right = pattern(pixels, 2);
    Pixels expected(pixels * 3);
    for (size_t p = 0; p < pixels * 3; p += 3) dubois_pixel(&left[p], &right[p], &expected[p]);
    EXPECT_EQ(dubois_of(left, right), expected);
    EXPECT_NE(dubois_of(right, left), expected) << "views must not be interchangeable";

    Pixels in_place = left;
    dubois_anaglyph(in_place.data(), right.data(), in_place.data(), pixels);
    EXPECT_EQ(in_place, expected);
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

    const size_t pixels = 5 * 3;
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

TEST(SideBySideRule, RightViewInTheLeftHalf) {
    Pixels out(6);
    const Pixels left = {1, 2, 3}, right = {4, 5, 6};
    side_by_side(left.data(), right.data(), out.data(), 1, 1);
    EXPECT_EQ(out, Pixels({4, 5, 6, 1, 2, 3}));

    // 3 x 2 views: output row y is right row y followed by left row y.
    const size_t width = 3, height = 2, row = width * 3;
    const Pixels l = pattern(width * height, 1), r = pattern(width * height, 2);
    Pixels jps(width * height * 6);
    side_by_side(l.data(), r.data(), jps.data(), width, height);
    for (size_t y = 0; y < height; ++y) {
        EXPECT_EQ(Pixels(jps.begin() + 2 * row * y, jps.begin() + 2 * row * y + row),
                  Pixels(r.begin() + row * y, r.begin() + row * (y + 1)));
        EXPECT_EQ(Pixels(jps.begin() + 2 * row * y + row, jps.begin() + 2 * row * (y + 1)),
                  Pixels(l.begin() + row * y, l.begin() + row * (y + 1)));
    }
}
