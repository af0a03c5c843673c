// The three row rules on small rasters in memory, against values worked out
// by hand, never by the rules' own code.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
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

// Rows whose bytes all differ, the left view's counting from 10 and the right
// view's from 100, so that every output byte tells which view and which
// sample it came from; odd widths, shorter and longer than a vector step.
constexpr size_t kWidths[] = {1, 3, 7, 9, 17};

Pixels counting_row(size_t width, int first) {
    Pixels row(width * 3);
    for (size_t k = 0; k < row.size(); ++k) row[k] = static_cast<unsigned char>(first + static_cast<int>(k));
    return row;
}

// Runs `rule` on an output row of `bytes` followed by guard bytes, which it
// must leave alone, and returns the row.
template <typename Rule>
Pixels row_written(size_t bytes, Rule rule) {
    constexpr unsigned char kUnwritten = 0xAB;
    Pixels out(bytes + 16, kUnwritten);
    rule(out.data());
    EXPECT_TRUE(std::all_of(out.begin() + static_cast<std::ptrdiff_t>(bytes), out.end(),
                            [](unsigned char v) { return v == kUnwritten; }))
        << "written past the row of " << bytes << " bytes";
    out.resize(bytes);
    return out;
}

}  // namespace

// Worked out by hand from Dubois's matrix in thousandths (l = left view,
// r = right view):
//   red   =  456 lR + 500 lG + 176 lB -  43 rR -  88 rG -    2 rB
//   green = - 40 lR -  38 lG -  16 lB + 378 rR + 734 rG -   18 rB
//   blue  = - 15 lR -  21 lG -   5 lB -  72 rR - 113 rG + 1226 rB
// each sum divided by 1000 truncating toward zero, then clamped to 0..255.
TEST(DuboisRule, HandComputedPixels) {
    const struct {
        Pixels left, right, expected;
    } cases[] = {
        // Every sum one or two below a multiple of 1000 and every input at
        // least 2: raising any one of the 18 coefficients by one raises the
        // quotient of its channel.
        //   456*70 + 500*120 + 176*166 - 43*178 - 88*61 - 2*58     = 107998
        //   -40*70 - 38*120 - 16*166 + 378*178 + 734*61 - 18*58    = 100998
        //   -15*70 - 21*120 - 5*166 - 72*178 - 113*61 + 1226*58    =  46999
        {{70, 120, 166}, {178, 61, 58}, {107, 100, 46}},
        // Every sum a multiple of 1000: lowering any one coefficient by one
        // lowers the quotient of its channel.
        //   456*178 + 500*12 + 176*105 - 43*86 - 88*223 - 2*163    =  82000
        //   -40*178 - 38*12 - 16*105 + 378*86 + 734*223 - 18*163   = 184000
        //   -15*178 - 21*12 - 5*105 - 72*86 - 113*223 + 1226*163   = 165000
        {{178, 12, 105}, {86, 223, 163}, {82, 184, 165}},
        // One input alone: one column of the matrix times 255.
        {{255, 0, 0}, {0, 0, 0}, {116, 0, 0}},                // 116.28; -10.2 and -3.825 truncate, then clamp
        {{0, 255, 0}, {0, 0, 0}, {127, 0, 0}},                // 127.5 truncates, does not round
        {{0, 0, 255}, {0, 0, 0}, {44, 0, 0}},                 // 44.88; -4.08 and -1.275 clamp
        {{0, 0, 0}, {255, 0, 0}, {0, 96, 0}},                 // 96.39; red -10.965 clamps
        {{0, 0, 0}, {0, 255, 0}, {0, 187, 0}},                // 187.17 truncates to 187
        {{0, 0, 0}, {0, 0, 255}, {0, 0, 255}},                // 312.63 clamps to 255
        {{255, 255, 255}, {255, 255, 255}, {254, 255, 255}},  // red's row sums to 999
        {{0, 0, 0}, {0, 0, 0}, {0, 0, 0}},
    };
    Pixels left, right, expected;
    for (const auto& c : cases) {
        EXPECT_EQ(dubois_of(c.left, c.right), c.expected) << "case " << &c - cases;
        left.insert(left.end(), c.left.begin(), c.left.end());
        right.insert(right.end(), c.right.begin(), c.right.end());
        expected.insert(expected.end(), c.expected.begin(), c.expected.end());
    }
    // The same pixels as one row reach the vector kernel too, where the
    // processor has one, out of place and in place.
    EXPECT_EQ(dubois_of(left, right), expected);
    dubois_anaglyph(left.data(), right.data(), left.data(), left.size() / 3);
    EXPECT_EQ(left, expected);
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
    for (const size_t width : kWidths) {
        const Pixels left = counting_row(width, 10), right = counting_row(width, 100);
        // Sample k of the row: red (k % 3 == 0) is the left view's 10 + k,
        // green and blue the right view's 100 + k.
        Pixels expected(width * 3);
        for (size_t k = 0; k < expected.size(); ++k)
            expected[k] = static_cast<unsigned char>(k % 3 == 0 ? 10 + k : 100 + k);
        const auto rule = [&](unsigned char* out) { colour_anaglyph(left.data(), right.data(), out, width); };
        EXPECT_EQ(row_written(width * 3, rule), expected) << width;
        Pixels in_place = left;
        colour_anaglyph(in_place.data(), right.data(), in_place.data(), width);
        EXPECT_EQ(in_place, expected) << width << " in place";
    }
}

// Cross-eyed order: the right view's row, then the left view's.
TEST(SideBySideRule, RightRowThenLeftRow) {
    for (const size_t width : kWidths) {
        const Pixels left = counting_row(width, 10), right = counting_row(width, 100);
        const size_t half = width * 3;
        Pixels expected(2 * half);
        for (size_t k = 0; k < half; ++k) {
            expected[k] = static_cast<unsigned char>(100 + k);
            expected[half + k] = static_cast<unsigned char>(10 + k);
        }
        const auto rule = [&](unsigned char* out) { side_by_side(left.data(), right.data(), out, width); };
        EXPECT_EQ(row_written(2 * half, rule), expected) << width;
    }
}
