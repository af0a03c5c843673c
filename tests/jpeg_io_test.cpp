// Reading and writing JPEG files, and loading the two views of an MPO file,
// in-process on generated pictures.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "jpeg_support.hpp"
#include "stereo_pair.hpp"

namespace {

// What a decoder sees in a written file.
struct Written {
    JDIMENSION width = 0, height = 0;
    int components = 0;
    bool progressive = true;
    UINT16 quant[2][DCTSIZE2] = {};
};

Written inspect(const std::string& path) {
    Written w;
    FILE* f = fopen(path.c_str(), "rb");
    if (f == nullptr) throw std::runtime_error("cannot read " + path);
    jpeg_decompress_struct cinfo;
    jpeg_error_mgr jerr;
    cinfo.err = jpeg_std_error(&jerr);
    jpeg_create_decompress(&cinfo);
    jpeg_stdio_src(&cinfo, f);
    jpeg_read_header(&cinfo, TRUE);
    w.width = cinfo.image_width;
    w.height = cinfo.image_height;
    w.components = cinfo.num_components;
    w.progressive = cinfo.progressive_mode != FALSE || cinfo.arith_code != FALSE;
    for (int t = 0; t < 2; ++t) memcpy(w.quant[t], cinfo.quant_tbl_ptrs[t]->quantval, sizeof w.quant[t]);
    jpeg_destroy_decompress(&cinfo);
    (void)fclose(f);
    return w;
}

// Holds whatever load_stereo_pair prints.
struct Load {
    bool ok = false;
    std::string out;
};

Load load(const Bytes& file, StereoPair* pair) {
    FILE* in = temp_file_holding(file);
    StartTable table{};
    int count = 0;
    findJPEGs(in, &table, &count);
    testing::internal::CaptureStdout();
    Load result;
    result.ok = load_stereo_pair(in, &table, count, "in.mpo", pair);
    result.out = testing::internal::GetCapturedStdout();
    (void)fclose(in);
    return result;
}

}  // namespace

TEST(ReadJpeg, OnePixelPictureGivesThreeBytes) {
    const unsigned char pixel[3] = {200, 40, 90};
    HeaderRecord header;
    const Raster raster = decode(encode_jpeg(pixel, 1, 1, 3, JpegOptions()), &header);
    EXPECT_EQ(raster.size(), 3u);
    EXPECT_EQ(header.image_width, 1u);
    EXPECT_EQ(header.image_height, 1u);
    EXPECT_EQ(header.num_components, 3);
}

TEST(WriteJpeg, BaselineOfTheRecordsGeometryWithQuality95Tables) {
    ScratchDir dir;
    const HeaderRecord header{7, 5, 3};
    const std::vector<unsigned char> pixels = render_view(7, 5, 0);
    ASSERT_EQ(write_jpeg_file(header, pixels.data(), (dir / "a.jpg").c_str()), 1);
    const Written w = inspect(dir / "a.jpg");
    EXPECT_EQ(w.width, 7u);
    EXPECT_EQ(w.height, 5u);
    EXPECT_EQ(w.components, 3);
    EXPECT_FALSE(w.progressive);

    // The tables that quality 95 with baseline limits gives for RGB input.
    jpeg_compress_struct c;
    jpeg_error_mgr jerr;
    c.err = jpeg_std_error(&jerr);
    jpeg_create_compress(&c);
    c.in_color_space = JCS_RGB;
    c.input_components = 3;
    jpeg_set_defaults(&c);
    jpeg_set_quality(&c, 95, TRUE);
    for (int t = 0; t < 2; ++t) {
        EXPECT_EQ(memcmp(w.quant[t], c.quant_tbl_ptrs[t]->quantval, sizeof w.quant[t]), 0) << "table " << t;
    }
    jpeg_destroy_compress(&c);

    // The same raster always gives the same bytes, and an existing file is replaced.
    write_file(dir / "b.jpg", Bytes(100000, 0x55));
    ASSERT_EQ(write_jpeg_file(header, pixels.data(), (dir / "b.jpg").c_str()), 1);
    EXPECT_EQ(read_file(dir / "a.jpg"), read_file(dir / "b.jpg"));
}

TEST(WriteJpeg, OutputThatCannotBeCreatedIsReported) {
    ScratchDir dir;
    const std::string path = dir / "missing/out.jpg";
    const unsigned char pixel[3] = {1, 2, 3};
    testing::internal::CaptureStdout();
    EXPECT_EQ(write_jpeg_file(HeaderRecord{1, 1, 3}, pixel, path.c_str()), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Error opening output jpeg file " + path + "\n!");
    EXPECT_FALSE(file_exists(path));
}

TEST(LoadStereoPair, DecodesBothViewsInOrderForEveryEncoding) {
    JpegOptions progressive, full_chroma, half_chroma;
    progressive.progressive = true;
    full_chroma.h_samp = full_chroma.v_samp = 1;
    half_chroma.h_samp = 2;
    half_chroma.v_samp = 1;
    const struct {
        int width, height;
        JpegOptions options;
    } cases[] = {{33, 17, JpegOptions()},
                 {1, 1, JpegOptions()},
                 {7, 5, progressive},
                 {31, 9, full_chroma},
                 {17, 33, half_chroma}};
    for (const auto& c : cases) {
        const StereoFile mpo = garden_mpo(c.width, c.height, c.options);
        StereoPair pair;
        const Load result = load(mpo.file, &pair);
        ASSERT_TRUE(result.ok) << result.out;
        EXPECT_EQ(result.out, "");
        HeaderRecord header;
        EXPECT_EQ(pair.left, decode(mpo.left_jpeg, &header)) << c.width << "x" << c.height;
        EXPECT_EQ(pair.right, decode(mpo.right_jpeg, &header)) << c.width << "x" << c.height;
        EXPECT_EQ(pair.header.image_width, static_cast<JDIMENSION>(c.width));
        EXPECT_EQ(pair.header.image_height, static_cast<JDIMENSION>(c.height));
        EXPECT_EQ(pair.header.num_components, 3);
    }
}

// The side-by-side picture: each view decoded straight into its half of one
// raster, the right view in the left half (cross-eyed order).
TEST(LoadStereoPair, PlacesBothViewsSideBySideWhenAsked) {
    const size_t width = 13, height = 5, row = width * 3;
    const StereoFile mpo = garden_mpo(width, height);
    FILE* in = temp_file_holding(mpo.file);
    StartTable table{};
    int count = 0;
    findJPEGs(in, &table, &count);
    StereoPair pair;
    ViewPlacement left_place, right_place;
    left_place.views_per_row = right_place.views_per_row = 2;
    left_place.column = 1;
    right_place.column = 0;
    ASSERT_TRUE(load_stereo_pair(in, &table, count, "in.mpo", &pair, left_place, right_place));
    (void)fclose(in);

    HeaderRecord header;
    const Raster left = decode(mpo.left_jpeg, &header);
    const Raster right = decode(mpo.right_jpeg, &header);
    ASSERT_EQ(pair.left.size(), 2 * left.size());
    EXPECT_TRUE(pair.right.empty());
    for (size_t y = 0; y < height; ++y) {
        const auto out_row = pair.left.begin() + 2 * row * y;
        EXPECT_TRUE(std::equal(right.begin() + row * y, right.begin() + row * (y + 1), out_row)) << y;
        EXPECT_TRUE(std::equal(left.begin() + row * y, left.begin() + row * (y + 1), out_row + row)) << y;
    }

    // Views that differ are still both decoded, then refused.
    const Bytes mismatched = concat({camera_picture(12, 8, 0), camera_picture(11, 8, 1)});
    FILE* other = temp_file_holding(mismatched);
    findJPEGs(other, &table, &count);
    StereoPair refused;
    testing::internal::CaptureStdout();
    EXPECT_FALSE(load_stereo_pair(other, &table, count, "in.mpo", &refused, left_place, right_place));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "File in.mpo has views of different sizes\n");
    EXPECT_EQ(refused.right.size(), 11u * 8 * 3);
    (void)fclose(other);
}

TEST(LoadStereoPair, ReadsOnlyTheFirstTwoPictures) {
    const StereoFile mpo = garden_mpo(9, 7);
    // A third "picture" that would end the process if it were decoded, and
    // trailing bytes after it.
    const Bytes file = concat({mpo.file, bytes({0xFF, 0xD8, 0xFF, 0xD9, 0x13, 0x37}), Bytes(500, 0)});
    StereoPair pair;
    const Load result = load(file, &pair);
    ASSERT_TRUE(result.ok) << result.out;
    HeaderRecord header;
    EXPECT_EQ(pair.right, decode(mpo.right_jpeg, &header));

    // Trailing bytes after the second picture belong to it and do no harm.
    StereoPair trailing;
    EXPECT_TRUE(load(concat({mpo.file, Bytes(300, 0x20)}), &trailing).ok);
}

TEST(LoadStereoPair, RefusesFilesThatCannotBeComposed) {
    const Bytes left = camera_picture(12, 8, 0);
    const Bytes grey_left = camera_picture(12, 8, 0, 1);
    const Bytes grey_right = camera_picture(12, 8, 1, 1);
    const Bytes wider_right = camera_picture(13, 8, 1);
    const Bytes grey_wider_right = camera_picture(13, 8, 1, 1);
    const struct {
        Bytes file;
        std::string message;
    } cases[] = {
        {Bytes(64, 0), "File in.mpo does not contain two pictures\n"},
        {left, "File in.mpo does not contain two pictures\n"},
        {concat({left, wider_right}), "File in.mpo has views of different sizes\n"},
        {concat({left, camera_picture(12, 9, 1)}), "File in.mpo has views of different sizes\n"},
        {concat({left, grey_right}), "File in.mpo has views that are not RGB\n"},
        {concat({grey_left, grey_right}), "File in.mpo has views that are not RGB\n"},
        // The size check comes first.
        {concat({grey_left, grey_wider_right}), "File in.mpo has views of different sizes\n"},
    };
    for (const auto& c : cases) {
        StereoPair pair;
        const Load result = load(c.file, &pair);
        EXPECT_FALSE(result.ok);
        EXPECT_EQ(result.out, c.message);
    }
}
