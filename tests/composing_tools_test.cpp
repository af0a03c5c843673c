// korventale, trismoldaven and vostrin end to end through the built programs:
// standard output, the exact bytes of each output, every refusal, and real
// camera files.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>

#include "colour_anaglyph.hpp"
#include "dubois.hpp"
#include "jpeg_support.hpp"
#include "stereo_pair.hpp"

namespace {

const Tool kTools[] = {kDubois, kColour, kJps};

std::string output_of(const Tool& tool, const std::string& stem) {
    return stem + tool.suffix;
}
std::string open_error(const std::string& name) {
    return "Error opening output jpeg file " + name + "\n!";
}

// The file a tool must write for the two views, composed here independently
// of the tool's own loading and staging.
Bytes expected_output(const Tool& tool, const Bytes& left_jpeg, const Bytes& right_jpeg) {
    HeaderRecord header;
    const Raster left = decode(left_jpeg, &header);
    const Raster right = decode(right_jpeg, &header);
    const std::string name = tool.name;
    Raster out(left.size() * (name == "vostrin" ? 2 : 1));
    if (name == "korventale") dubois_anaglyph(left.data(), right.data(), out.data(), view_pixels(header));
    if (name == "trismoldaven") colour_anaglyph(left.data(), right.data(), out.data(), view_pixels(header));
    if (name == "vostrin") {
        // Each output row: the right view's row, then the left view's.
        const size_t row = size_t{header.image_width} * 3;
        for (size_t y = 0; y < header.image_height; ++y) {
            std::copy(right.begin() + row * y, right.begin() + row * (y + 1), out.begin() + 2 * row * y);
            std::copy(left.begin() + row * y, left.begin() + row * (y + 1), out.begin() + 2 * row * y + row);
        }
        header.image_width *= 2;
    }
    return encoded(header, out.data());
}

}  // namespace

TEST(ComposingTools, WriteExactlyTheComposedPicture) {
    ScratchDir dir;
    const StereoFile mpo = garden_mpo(37, 21);
    write_file(dir / "shot.mpo", mpo.file);
    for (const Tool& tool : kTools) {
        const RunResult r = run_tool(tool.name, {"shot.mpo"}, dir.path);
        EXPECT_EQ(r.status, 0) << tool.name;
        EXPECT_EQ(r.out, std::string(tool.banner) + writing(output_of(tool, "shot"))) << tool.name;
        EXPECT_EQ(r.err, "") << tool.name;
        EXPECT_EQ(read_file(dir / output_of(tool, "shot")),
                  expected_output(tool, mpo.left_jpeg, mpo.right_jpeg))
            << tool.name;
    }
    EXPECT_EQ(read_file(dir / "shot.mpo"), mpo.file) << "the input must not change";

    HeaderRecord header;
    decode(read_file(dir / "shot.jps"), &header);
    EXPECT_EQ(header.image_width, 74u);
    EXPECT_EQ(header.image_height, 21u);
}

TEST(ComposingTools, RefusedFilesGetTheirMessageAndTheBatchGoesOn) {
    ScratchDir dir;
    write_file(dir / "one.mpo", camera_picture(12, 8, 0));
    write_file(dir / "sizes.mpo", concat({camera_picture(12, 8, 0), camera_picture(12, 9, 1)}));
    write_file(dir / "grey.mpo", concat({camera_picture(12, 8, 0, 1), camera_picture(12, 8, 1, 1)}));
    write_file(dir / "good.mpo", garden_mpo(11, 7).file);
    for (const Tool& tool : kTools) {
        const RunResult r =
            run_tool(tool.name, {"one.mpo", "sizes.mpo", "grey.mpo", "x.jpg", "good.mpo"}, dir.path);
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(r.out, std::string(tool.banner) + "File one.mpo does not contain two pictures\n" +
                             "File sizes.mpo has views of different sizes\n" +
                             "File grey.mpo has views that are not RGB\n" + "Error when reading file\n")
            << tool.name;
        // x.jpg does not exist: the run ends there with status 255.
        EXPECT_FALSE(file_exists(dir / output_of(tool, "good")));

        const RunResult rest =
            run_tool(tool.name, {"one.mpo", "sizes.mpo", "grey.mpo", "good.mpo"}, dir.path);
        EXPECT_EQ(rest.status, 0);
        for (const char* stem : {"one", "sizes", "grey"})
            EXPECT_FALSE(file_exists(dir / output_of(tool, stem)));
        EXPECT_TRUE(file_exists(dir / output_of(tool, "good"))) << tool.name;
    }
}

TEST(ComposingTools, UnopenableInputEndsTheRunWithStatus255) {
    ScratchDir dir;
    write_file(dir / "a.mpo", garden_mpo(5, 3).file);
    write_file(dir / "c.mpo", garden_mpo(5, 3).file);
    for (const Tool& tool : kTools) {
        const RunResult r = run_tool(tool.name, {"a.mpo", "b.mpo", "c.mpo"}, dir.path);
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(r.out,
                  std::string(tool.banner) + writing(output_of(tool, "a")) + "Error when reading file\n");
        EXPECT_FALSE(file_exists(dir / output_of(tool, "c")));
    }
}

TEST(ComposingTools, OutputThatCannotBeCreatedIsReportedAfterItsAnnouncement) {
    ScratchDir dir;
    for (const char* name : {"d.mpo", "e.mpo", "f.mpo"}) write_file(dir / name, garden_mpo(6, 4).file);
    for (const Tool& tool : kTools) {
        // A folder, and a FIFO that nobody reads (waiting for a reader would
        // hang the batch), stand where two outputs should go.
        const std::string folder = output_of(tool, "d"), fifo = output_of(tool, "e");
        ASSERT_EQ(mkdir((dir / folder).c_str(), 0755), 0);
        ASSERT_EQ(mkfifo((dir / fifo).c_str(), 0644), 0);
        const RunResult r = run_tool(tool.name, {"d.mpo", "e.mpo", "f.mpo"}, dir.path);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, std::string(tool.banner) + writing(folder) + open_error(folder) + writing(fifo) +
                             open_error(fifo) + writing(output_of(tool, "f")));
        EXPECT_TRUE(file_exists(dir / output_of(tool, "f")));
    }
}

TEST(ComposingTools, SideBySideWiderThanJpegAllowsIsRefused) {
    ScratchDir dir;
    const unsigned char grey[3] = {128, 128, 128};
    const auto wide_mpo = [&](int width) {
        const Bytes row(static_cast<size_t>(width) * 3, grey[0]);
        const Bytes jpeg = encode_jpeg(row.data(), width, 1, 3, JpegOptions());
        return concat({jpeg, jpeg});
    };
    write_file(dir / "wide.mpo", wide_mpo(32751));
    write_file(dir / "widest.mpo", wide_mpo(32750));
    const RunResult r = run_tool("vostrin", {"wide.mpo", "widest.mpo"}, dir.path);
    EXPECT_EQ(r.out, std::string(kJps.banner) + "File wide.mpo is too wide for a side-by-side picture\n" +
                         writing("widest.jps"));
    EXPECT_FALSE(file_exists(dir / "wide.jps"));
    HeaderRecord header;
    decode(read_file(dir / "widest.jps"), &header);
    EXPECT_EQ(header.image_width, 65500u);
}

// Real stereo files, copied into a scratch folder under an .mpo name: each
// tool writes exactly the picture composed from their two views, or refuses
// the pairs whose views differ in size.
TEST(RealFiles, ComposeCameraFiles) {
    const struct {
        const char* name;
        size_t right_start;  // 0: the views differ in size
    } cases[] = {
        {"3ds_sugarshack.mpo", 60008},        {"3ds_frozenpond.mpo", 82452},
        {"fujifilm_w3.mpo", 4967936},         {"samsung_nx1000_64px.mpo", 2240},
        {"3ds_sugarshack_frame_size.mpo", 0}, {"iphone_primary_gainmap.mpo", 0},
    };
    if (sample_file(cases[0].name).empty()) GTEST_SKIP() << "camera files absent";
    ScratchDir dir;
    for (const auto& c : cases) {
        const std::string source = sample_file(c.name);
        if (source.empty()) continue;
        const Bytes file = read_file(source);
        write_file(dir / "cam.mpo", file);
        for (const Tool& tool : kTools) {
            (void)remove((dir / output_of(tool, "cam")).c_str());  // absent the first time
            const RunResult r = run_tool(tool.name, {"cam.mpo"}, dir.path);
            EXPECT_EQ(r.status, 0);
            if (c.right_start == 0) {
                EXPECT_EQ(r.out, std::string(tool.banner) + "File cam.mpo has views of different sizes\n")
                    << c.name;
                EXPECT_FALSE(file_exists(dir / output_of(tool, "cam")));
                continue;
            }
            EXPECT_EQ(r.out, std::string(tool.banner) + writing(output_of(tool, "cam"))) << c.name;
            const Bytes left(file.begin(), file.begin() + c.right_start);
            const Bytes right(file.begin() + c.right_start, file.end());
            EXPECT_EQ(read_file(dir / output_of(tool, "cam")), expected_output(tool, left, right))
                << c.name << " " << tool.name;
        }
    }
}
