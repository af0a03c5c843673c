// mpoalign: the correction it finds on real pairs whose right view the test
// turns, scales and moves by known amounts, what it writes, and what it
// refuses; and the two pure pieces whose results are exact, the crop and
// the resampler, with no correction.
#include <gtest/gtest.h>

#include <cmath>
#include <regex>

#include "align.hpp"
#include "jpeg_support.hpp"
#include "resample.hpp"

namespace {

constexpr double kPi = 3.14159265358979323846;
const char* const kBanner =
    "*****************************\n"
    "****  MPOALIGN   T.Varno ****\n"
    "*****************************\n\n\n";

// What mpoalign says it found, read back from its words.
struct Said {
    double degrees = 0, scale = 1, down = 0;
};

Said said(const std::string& err) {
    const std::regex words(
        "turned ([0-9.]+) degrees (clockwise|anticlockwise), ([0-9.]+) % (larger|smaller) and ([0-9.]+) "
        "pixels "
        "(lower|higher)");
    std::smatch m;
    Said s;
    EXPECT_TRUE(std::regex_search(err, m, words)) << err;
    if (m.empty()) return s;
    s.degrees = std::stod(m[1]) * (m[2] == "clockwise" ? 1 : -1);
    s.scale = 1 + std::stod(m[3]) / 100 * (m[4] == "larger" ? 1 : -1);
    s.down = std::stod(m[5]) * (m[6] == "lower" ? 1 : -1);
    return s;
}

// The right view turned clockwise by `degrees`, scaled by `scale` about the
// centre and moved `down` pixels down, by bilinear interpolation (edges
// repeated), as a plain JPEG picture.
Bytes distorted(const Decoded& view, double degrees, double scale, double down) {
    const double c = std::cos(degrees * kPi / 180), s = std::sin(degrees * kPi / 180);
    const double w = view.width, h = view.height;
    Bytes out(view.pixels.size());
    for (unsigned j = 0; j < view.height; ++j) {
        for (unsigned i = 0; i < view.width; ++i) {
            const double qx = i + 0.5 - w / 2, qy = j + 0.5 - h / 2 - down;
            const double x = std::clamp((c * qx + s * qy) / scale + w / 2 - 0.5, 0.0, w - 1.001);
            const double y = std::clamp((-s * qx + c * qy) / scale + h / 2 - 0.5, 0.0, h - 1.001);
            const auto x0 = static_cast<size_t>(x), y0 = static_cast<size_t>(y);
            const double fx = x - x0, fy = y - y0;
            for (size_t k = 0; k < 3; ++k) {
                const auto at = [&](size_t xx, size_t yy) {
                    return view.pixels[(yy * view.width + xx) * 3 + k];
                };
                const double top = at(x0, y0) + fx * (at(x0 + 1, y0) - at(x0, y0));
                const double bottom = at(x0, y0 + 1) + fx * (at(x0 + 1, y0 + 1) - at(x0, y0 + 1));
                out[(size_t{j} * view.width + i) * 3 + k] =
                    static_cast<unsigned char>(std::lround(top + fy * (bottom - top)));
            }
        }
    }
    return encoded(view.width, view.height, out);
}

Bytes picture(const Bytes& file, size_t index) {
    const std::vector<int32_t> starts = locate(file);
    const size_t end = index + 1 < starts.size() ? static_cast<size_t>(starts[index + 1]) : file.size();
    return Bytes(file.begin() + starts.at(index), file.begin() + static_cast<std::ptrdiff_t>(end));
}

// The baseline length in metres that a picture's multi-picture segment
// gives (tag B206, one RATIONAL, in the segment's byte order); -1 without.
double baseline(const Bytes& picture) {
    const Bytes mpf = {'M', 'P', 'F', 0};
    const auto at = std::search(picture.begin(), picture.end(), mpf.begin(), mpf.end());
    if (picture.end() - at < 8) return -1;
    const auto header = static_cast<size_t>(at - picture.begin()) + 4;
    const bool little = picture[header] == 'I';
    const auto number = [&](size_t k, size_t n) {
        uint32_t v = 0;
        for (size_t b = 0; b < n; ++b) v |= uint32_t{picture.at(k + b)} << 8 * (little ? b : n - 1 - b);
        return v;
    };
    for (size_t k = header + 8; k + 12 <= picture.size(); ++k) {
        if (number(k, 2) == 0xB206 && number(k + 2, 2) == 5 && number(k + 4, 4) == 1) {
            const size_t value = header + number(k + 8, 4);
            return static_cast<double>(number(value, 4)) / number(value + 4, 4);
        }
    }
    return -1;
}

}  // namespace

// The right view as shot, then turned, scaled and moved by known amounts:
// the second correction is the first one with the known amounts added. The
// output holds two views of the same size and proportions as the input's,
// each with its camera's Exif segment and baseline.
TEST(RealFiles, MpoalignRecoversKnownDistortions) {
    const struct {
        const char* name;
        double degrees, scale, down;
    } cases[] = {
        {"panasonic_gx8.mpo", 1.2, 1.02, 20},
        {"3ds_sugarshack.mpo", -2, 0.97, -8},
    };
    if (samples_dir_absent()) GTEST_SKIP() << "camera files absent: " << samples_dir();
    ScratchDir dir;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Bytes file = read_file(sample_file(c.name));
        write_file(dir / "shot.mpo", file);
        const RunResult shot = run_tool("mpoalign", {"shot.mpo"}, dir.path);
        EXPECT_EQ(shot.status, 0);
        EXPECT_EQ(shot.out, std::string(kBanner) + writing("shot_aligned.mpo"));
        const Bytes left = picture(file, 0);
        const Decoded right = decode(picture(file, 1));
        write_file(dir / "moved.mpo", concat({left, distorted(right, c.degrees, c.scale, c.down)}));
        const RunResult moved = run_tool("mpoalign", {"moved.mpo"}, dir.path);
        EXPECT_EQ(moved.status, 0);

        const Said before = said(shot.err), after = said(moved.err);
        EXPECT_NEAR(after.degrees, before.degrees + c.degrees, 0.02);
        EXPECT_NEAR(after.scale, before.scale * c.scale, 0.001);
        // Turning the right view about the picture's centre also moves its
        // scene up or down by the views' horizontal offset (the depth, which
        // the correction leaves alone) times the sine of the turn; the
        // offset of these pairs is within 60 pixels.
        const double radians = c.degrees * kPi / 180;
        EXPECT_NEAR(after.down, c.scale * std::cos(radians) * before.down + c.down,
                    0.3 + 60 * std::fabs(std::sin(radians)));

        const Bytes aligned = read_file(dir / "shot_aligned.mpo");
        const Decoded views[2] = {decode(picture(aligned, 0)), decode(picture(aligned, 1))};
        EXPECT_EQ(views[0].width, views[1].width);
        EXPECT_EQ(views[0].height, views[1].height);
        EXPECT_NEAR(static_cast<double>(views[0].width) / views[0].height,
                    static_cast<double>(right.width) / right.height, 0.01);
        // The Exif segment of each view, whole, in its aligned view, and the
        // multi-picture segment that viewers look for.
        const Bytes mpf = {'M', 'P', 'F', 0};
        for (size_t v = 0; v < 2; ++v) {
            const Bytes in = picture(file, v), out = picture(aligned, v);
            const size_t length = size_t{in[4]} << 8 | in[5];
            ASSERT_EQ(in[3], 0xE1);
            EXPECT_TRUE(std::search(out.begin(), out.end(), in.begin() + 2, in.begin() + 4 + length) !=
                        out.end());
            EXPECT_TRUE(std::search(out.begin(), out.end(), mpf.begin(), mpf.end()) != out.end());
            EXPECT_GT(baseline(in), 0);
            EXPECT_EQ(baseline(out), baseline(in));
        }
    }
}

// A pair that cannot be aligned with confidence is refused with the reason,
// nothing written, and the batch goes on; a pair aligned already (the
// rendered garden) is left level, its views not turned for nothing.
TEST(Mpoalign, RefusesPairsItCannotAlignAndWritesNothing) {
    ScratchDir dir;
    const Bytes grey(size_t{64} * 48 * 3, 128);
    const Bytes cap = encoded(64, 48, grey);
    write_file(dir / "cap.mpo", concat({cap, cap}));
    const StereoFile garden = garden_mpo(640, 480);
    write_file(dir / "unrelated.mpo",
               concat({garden.left_jpeg, encoded(640, 480, Bytes(size_t{640} * 480 * 3, 90))}));
    write_file(dir / "good.mpo", garden.file);
    const RunResult r = run_tool("mpoalign", {"cap.mpo", "unrelated.mpo", "good.mpo"}, dir.path);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, std::string(kBanner) + writing("good_aligned.mpo"));
    EXPECT_NE(
        r.err.find("mpoalign: cap.mpo: not aligned: too few consistent matches between the views: 0 of 0"),
        std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("mpoalign: unrelated.mpo: not aligned: too few consistent matches"),
              std::string::npos);
    EXPECT_FALSE(file_exists(dir / "cap_aligned.mpo"));
    EXPECT_FALSE(file_exists(dir / "unrelated_aligned.mpo"));
    EXPECT_EQ(r.err.find("both were also turned"), std::string::npos) << r.err;
}

// Matches made from a known correction, with depth (horizontal offsets in
// the corrected views), noise and a third of wrong matches: the estimate
// finds the correction, levelling included, keeps the keystone terms only
// when the pair has some, and refuses what no camera produces or what the
// matches cannot tell.
TEST(Align, EstimatesKnownCorrectionsAndRefusesUncertainOnes) {
    const ViewSize size = {2000, 1500};
    const struct {
        Correction truth;
        int matches;
        double spread;  // of the matches, as a share of the picture
        const char* refusal;
    } cases[] = {
        {{1.2, 1.02, 30, 0, 0, 0}, 600, 1, ""},
        {{-0.5, 0.99, -10, 0.01, -0.008, 0.25}, 600, 1, ""},
        {{1.5, 1, 0, 0, 0, -0.75}, 600, 1, ""},
        {{8, 1, 0, 0, 0}, 600, 1, "turned by 8.0 degrees"},
        {{0.3, 1, 5, 0, 0}, 50, 1, "too few consistent matches"},
        {{0.3, 1, 5, 0, 0}, 600, 0.01, "uncertain"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.refusal);
        const Homography left = view_transform(c.truth, size, 1);
        const Homography right = inverse(view_transform(c.truth, size, -1));
        std::vector<Match> matches;
        uint32_t seed = 12345;
        const auto next = [&seed] {
            seed = seed * 1664525u + 1013904223u;
            return (seed >> 8) / 16777216.0 - 0.5;  // -0.5 .. 0.5
        };
        for (int k = 0; k < c.matches; ++k) {
            const double x = next() * size.width * c.spread, y = next() * size.height * c.spread;
            double cx = 0, cy = 0, rx = 0, ry = 0;
            apply(left, x, y, &cx, &cy);
            apply(right, cx + 80 * next(), cy, &rx, &ry);
            if (k % 3 == 2) ry = next() * size.height;  // a wrong match
            matches.push_back({x, y, rx, ry + 0.3 * next()});
        }
        const Alignment a = estimate_alignment(matches, size, 1.0);
        EXPECT_NE(a.refusal.find(c.refusal), std::string::npos) << a.refusal;
        if (*c.refusal != '\0') continue;
        EXPECT_NEAR(a.correction.roll_degrees, c.truth.roll_degrees, 0.005);
        EXPECT_NEAR(a.correction.level_degrees, c.truth.level_degrees, 0.03);
        EXPECT_NEAR(a.correction.scale, c.truth.scale, 5e-5);
        EXPECT_NEAR(a.correction.shift, c.truth.shift, 0.05);
        EXPECT_EQ(a.keystone, c.truth.keystone_x != 0);
        EXPECT_NEAR(a.correction.keystone_x, c.truth.keystone_x, 5e-4);
        EXPECT_NEAR(a.correction.keystone_y, c.truth.keystone_y, 5e-4);
        EXPECT_LT(a.error_after, 0.15);
    }
}

// The crop: the whole picture with no correction; under a turn, keystone or
// levelling, a crop whose corners both corrected views cover, and none 1 %
// larger about the same centre. The resampler: every pixel exactly from
// itself with no correction, and a ramp moved by a fraction of a pixel lands
// where it should, to within rounding.
TEST(Align, CropStaysInsideBothViewsAndResamplerPlacesPixels) {
    const ViewSize size = {37, 21};
    const Crop whole = largest_common_crop(Correction(), size);
    EXPECT_EQ(whole.width, 37);
    EXPECT_EQ(whole.height, 21);
    Bytes view(size_t{37} * 21 * 3), out(view.size());
    for (size_t k = 0; k < view.size(); ++k) view[k] = static_cast<unsigned char>(k * 7919 % 251);
    for (const int side : {1, -1}) {
        resample_rows(view.data(), 37, 21, view_warp(Correction(), size, whole, side), 0, 21, out.data(),
                      size_t{37} * 3);
        EXPECT_EQ(out, view);
    }

    const ViewSize large = {2000, 1500};
    for (const Correction& c :
         {Correction{1.2, 1.02, 30, 0, 0, 0}, Correction{-2, 0.97, -40, 0.01, -0.008, 0},
          Correction{1.5, 1, 0, 0, 0, -0.75}}) {
        const Crop crop = largest_common_crop(c, large);
        const auto inside = [&](double grow) {
            const auto width = static_cast<double>(crop.width), height = static_cast<double>(crop.height);
            const double cx = crop.left + width / 2, cy = crop.top + height / 2;
            bool all = true;
            for (const int side : {1, -1}) {
                const Homography back = inverse(view_transform(c, large, side));
                for (const double dx : {-0.5, 0.5}) {
                    for (const double dy : {-0.5, 0.5}) {
                        double x = 0, y = 0;
                        apply(back, cx + dx * width * grow, cy + dy * height * grow, &x, &y);
                        all = all && std::fabs(x) <= large.width / 2 + 1e-6 &&
                              std::fabs(y) <= large.height / 2 + 1e-6;
                    }
                }
            }
            return all;
        };
        EXPECT_TRUE(inside(1)) << c.roll_degrees;
        EXPECT_FALSE(inside(1.01)) << c.roll_degrees;
        EXPECT_NEAR(static_cast<double>(crop.width) / crop.height, 2000.0 / 1500, 0.002);
    }

    // Keys's kernel reproduces a straight ramp: 2 x + 3 y + 10 read 0.3
    // pixel to the right and 0.45 lower.
    Bytes ramp(view.size());
    for (size_t k = 0; k < ramp.size(); ++k)
        ramp[k] = static_cast<unsigned char>(2 * (k / 3 % 37) + 3 * (k / 3 / 37) + 10);
    const ViewWarp moved = {{{1, 0, 0.3, 0, 1, 0.45, 0, 0, 1}}, 37, 21};
    resample_rows(ramp.data(), 37, 21, moved, 0, 21, out.data(), size_t{37} * 3);
    for (size_t j = 2; j + 3 < 21; ++j) {
        for (size_t i = 2; i + 3 < 37; ++i) {
            EXPECT_NEAR(out[(j * 37 + i) * 3 + 1], 2 * (i + 0.3) + 3 * (j + 0.45) + 10, 1) << i << ", " << j;
        }
    }
}
