// korventale, trismoldaven and vostrin end to end through the built programs:
// standard output, the exact bytes of each output, the refusals, and real
// camera files. Every expected picture is made here, by the test's own
// decoding, composition and encoding, never by the tools' code.
#include <gtest/gtest.h>

#include <algorithm>

#include "jpeg_support.hpp"

namespace {

const Tool kTools[] = {kDubois, kColour, kJps};

std::string output_of(const Tool& tool, const std::string& stem) {
    return stem + tool.suffix;
}

// Dubois's matrix for red-cyan glasses in thousandths, written out here
// again so that a wrong coefficient in the tool cannot hide in both places.
constexpr int kDubois[3][6] = {
    {456, 500, 176, -43, -88, -2},
    {-40, -38, -16, 378, 734, -18},
    {-15, -21, -5, -72, -113, 1226},
};

unsigned char dubois_channel(int channel, const unsigned char* l, const unsigned char* r) {
    int sum = 0;
    for (int k = 0; k < 3; ++k) sum += kDubois[channel][k] * l[k] + kDubois[channel][k + 3] * r[k];
    const int value = sum / 1000;  // C++ division truncates toward zero
    return static_cast<unsigned char>(std::min(255, std::max(0, value)));
}

// The picture a tool must write for the two views.
Bytes expected_output(const Tool& tool, const Bytes& left_jpeg, const Bytes& right_jpeg) {
    const Decoded left = decode(left_jpeg), right = decode(right_jpeg);
    const std::string name = tool.name;
    const size_t row = size_t{left.width} * 3;
    if (name == "vostrin") {
        // Each output row: the right view's row, then the left view's.
        Bytes out;
        for (size_t y = 0; y < left.height; ++y) {
            out.insert(out.end(), right.pixels.begin() + row * y, right.pixels.begin() + row * (y + 1));
            out.insert(out.end(), left.pixels.begin() + row * y, left.pixels.begin() + row * (y + 1));
        }
        return encoded(2 * left.width, left.height, out);
    }
    Bytes out(left.pixels.size());
    for (size_t p = 0; p < out.size(); p += 3) {
        const unsigned char* l = &left.pixels[p];
        const unsigned char* r = &right.pixels[p];
        for (int c = 0; c < 3; ++c) {
            out[p + c] = name == "korventale" ? dubois_channel(c, l, r) : (c == 0 ? l[0] : r[c]);
        }
    }
    return encoded(left.width, left.height, out);
}

}  // namespace

// Every way cameras encode a view; sizes that are odd and not a multiple of
// the rows the tools move at a time.
TEST(ComposingTools, WriteExactlyTheComposedPictureForEveryEncoding) {
    JpegOptions progressive, full_chroma, half_chroma, restarts;
    progressive.progressive = true;
    full_chroma.h_samp = full_chroma.v_samp = 1;
    half_chroma.h_samp = 2;
    half_chroma.v_samp = 1;
    restarts.restart_rows = 1;
    const struct {
        const char* what;
        int width, height;
        JpegOptions options;
    } cases[] = {
        {"4:2:0", 37, 21, JpegOptions()},      {"4:2:0 tall", 9, 70, JpegOptions()},
        {"one pixel", 1, 1, JpegOptions()},    {"progressive", 23, 19, progressive},
        {"4:4:4", 31, 9, full_chroma},         {"4:2:2", 17, 33, half_chroma},
        {"restart markers", 29, 35, restarts},
    };
    ScratchDir dir;
    for (const auto& c : cases) {
        const StereoFile mpo = garden_mpo(c.width, c.height, c.options);
        write_file(dir / "shot.mpo", mpo.file);
        for (const Tool& tool : kTools) {
            SCOPED_TRACE(std::string(c.what) + " " + tool.name);
            const RunResult r = run_tool(tool.name, {"shot.mpo"}, dir.path);
            EXPECT_EQ(r.status, 0);
            EXPECT_EQ(r.out, std::string(tool.banner) + writing(output_of(tool, "shot")));
            EXPECT_EQ(r.err, "");
            const Bytes written = read_file(dir / output_of(tool, "shot"));
            EXPECT_EQ(written, expected_output(tool, mpo.left_jpeg, mpo.right_jpeg));
            EXPECT_TRUE(is_baseline(written));
        }
        EXPECT_EQ(read_file(dir / "shot.mpo"), mpo.file) << "the input must not change";
    }
    const Decoded jps = decode(read_file(dir / "shot.jps"));
    EXPECT_EQ(jps.width, 58u);
    EXPECT_EQ(jps.height, 35u);

    // Pictures after the pair (a camera's preview) are not composed, however
    // they compare in size with the views, which are staged whole.
    const StereoFile pair = garden_mpo(13, 11);
    for (const Bytes& third : {camera_picture(3, 2, 0), camera_picture(160, 120, 1)}) {
        write_file(dir / "three.mpo", concat({pair.file, third}));
        for (const Tool& tool : kTools) {
            const RunResult r = run_tool(tool.name, {"three.mpo"}, dir.path);
            EXPECT_EQ(r.status, 0) << tool.name;
            EXPECT_EQ(read_file(dir / output_of(tool, "three")),
                      expected_output(tool, pair.left_jpeg, pair.right_jpeg))
                << tool.name;
        }
    }
}

// Statuses: 1 when any argument was refused, the others converted; 255 when
// an input cannot be opened, which ends the run there.
TEST(ComposingTools, RefusedFilesGetTheirMessageAndTheBatchGoesOn) {
    ScratchDir dir;
    write_file(dir / "one.mpo", camera_picture(12, 8, 0));
    write_file(dir / "sizes.mpo", concat({camera_picture(12, 8, 0), camera_picture(12, 9, 1)}));
    write_file(dir / "grey.mpo", concat({camera_picture(12, 8, 0, 1), camera_picture(12, 8, 1, 1)}));
    write_file(dir / "good.mpo", garden_mpo(11, 7).file);
    write_file(dir / "skipped.jpg", garden_mpo(11, 7).file);
    for (const Tool& tool : kTools) {
        const RunResult r = run_tool(
            tool.name, {"one.mpo", "sizes.mpo", "grey.mpo", "skipped.jpg", "good.mpo", "x.jpg"}, dir.path);
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(r.out, std::string(tool.banner) + "File one.mpo does not contain two pictures\n" +
                             "File sizes.mpo has views of different sizes\n" +
                             "File grey.mpo has views that are not RGB\n" +
                             "File skipped.jpg has not the right extension\n" +
                             writing(output_of(tool, "good")) + "Error when reading file\n")
            << tool.name;

        const RunResult rest = run_tool(tool.name, {"one.mpo", "sizes.mpo", "good.mpo"}, dir.path);
        EXPECT_EQ(rest.status, 1) << tool.name;
        for (const char* stem : {"one", "sizes", "grey"}) {
            EXPECT_FALSE(file_exists(dir / output_of(tool, stem)));
        }
        // A file skipped for its extension is no failure.
        EXPECT_EQ(run_tool(tool.name, {"skipped.jpg", "good.mpo"}, dir.path).status, 0) << tool.name;
    }
}

TEST(ComposingTools, SideBySideWiderThanJpegAllowsIsRefused) {
    ScratchDir dir;
    const auto wide_mpo = [&](int width) {
        const Bytes row(static_cast<size_t>(width) * 3, 128);
        const Bytes jpeg = encode_jpeg(row.data(), width, 1, 3, JpegOptions());
        return concat({jpeg, jpeg});
    };
    write_file(dir / "wide.mpo", wide_mpo(32751));
    write_file(dir / "widest.mpo", wide_mpo(32750));
    const RunResult r = run_tool("vostrin", {"wide.mpo", "widest.mpo"}, dir.path);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, std::string(kJps.banner) + "File wide.mpo is too wide for a side-by-side picture\n" +
                         writing("widest.jps"));
    EXPECT_FALSE(file_exists(dir / "wide.jps"));
    EXPECT_EQ(decode(read_file(dir / "widest.jps")).width, 65500u);
}

// Real stereo files, copied into a scratch folder under an .mpo name: each
// tool writes exactly the picture composed from their two views, or refuses
// the pairs whose views differ in size.
TEST(RealFiles, ComposeCameraFiles) {
    const struct {
        const char* name;
        size_t right_start;  // 0: the views differ in size
    } cases[] = {
        {"3ds_sugarshack.mpo", 60008},     {"3ds_frozenpond.mpo", 82452},
        {"fujifilm_w3.mpo", 4967936},      {"samsung_nx1000_64px.mpo", 2240},
        {"panasonic_gx8.mpo", 1251328},    {"3ds_sugarshack_frame_size.mpo", 0},
        {"iphone_primary_gainmap.mpo", 0},
    };
    if (samples_dir_absent()) GTEST_SKIP() << "camera files absent: " << samples_dir();
    ScratchDir dir;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Bytes file = read_file(sample_file(c.name));
        write_file(dir / "cam.mpo", file);
        for (const Tool& tool : kTools) {
            (void)remove((dir / output_of(tool, "cam")).c_str());  // absent the first time
            const RunResult r = run_tool(tool.name, {"cam.mpo"}, dir.path);
            if (c.right_start == 0) {
                EXPECT_EQ(r.status, 1);
                EXPECT_EQ(r.out, std::string(tool.banner) + "File cam.mpo has views of different sizes\n");
                EXPECT_FALSE(file_exists(dir / output_of(tool, "cam")));
                continue;
            }
            EXPECT_EQ(r.status, 0);
            EXPECT_EQ(r.out, std::string(tool.banner) + writing(output_of(tool, "cam")));
            const Bytes left(file.begin(), file.begin() + c.right_start);
            const Bytes right(file.begin() + c.right_start, file.end());
            EXPECT_EQ(read_file(dir / output_of(tool, "cam")), expected_output(tool, left, right))
                << tool.name;
        }
    }
}
