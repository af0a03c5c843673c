// Reading and writing JPEG streams a group of rows at a time, and the pair
// pipeline that the composing tools share, in-process on generated pictures.
// Pixels are checked against the rasters the pictures were made from, or
// against the tests' own libjpeg calls.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "jpeg_support.hpp"
#include "stereo_pair.hpp"

namespace {

// Largest difference between two rasters of the same size.
int largest_difference(const Bytes& a, const unsigned char* b) {
    int largest = 0;
    for (size_t k = 0; k < a.size(); ++k) largest = std::max(largest, std::abs(int{a[k]} - int{b[k]}));
    return largest;
}

// Decodes `jpeg` through the toolkit, `rows_per_call` rows at a time.
Bytes read_through_toolkit(const Bytes& jpeg, HeaderRecord* header, JDIMENSION rows_per_call) {
    FilePtr f(temp_file_holding(jpeg));
    JpegReader reader;
    read_jpeg_header(f.get(), "in.jpg", nullptr, &reader, header);
    const size_t row_bytes = size_t{header->image_width} * static_cast<size_t>(header->num_components);
    Bytes raster(row_bytes * header->image_height);
    start_jpeg_read(&reader);
    for (JDIMENSION y = 0; y < header->image_height; y += rows_per_call) {
        const JDIMENSION count = std::min(rows_per_call, header->image_height - y);
        std::vector<JSAMPROW> rows(count);
        for (JDIMENSION k = 0; k < count; ++k) rows[k] = raster.data() + (y + k) * row_bytes;
        read_jpeg_rows(&reader, rows.data(), count);
    }
    finish_jpeg_read(&reader);
    return raster;
}

// What load_stereo_pair prints, and whether it accepted the pair.
struct Load {
    bool ok = false;
    std::string out;
};

Load load(const Bytes& file, size_t views_per_row, StereoRows* rows, FilePtr* in) {
    in->reset(temp_file_holding(file));
    StartTable table{};
    int count = 0;
    findJPEGs(in->get(), &table, &count);
    testing::internal::CaptureStdout();
    Load result;
    result.ok = load_stereo_pair(in->get(), &table, count, "in.mpo", views_per_row, rows);
    result.out = testing::internal::GetCapturedStdout();
    return result;
}

}  // namespace

// Decoding gives the picture's own colours, RGB, every row in its place,
// however many rows are asked for at a time. A nearly lossless picture
// (quality 100, no chroma subsampling) decodes to within a few levels of
// the raster it was made from; rows of strongly different colours make a
// missing conversion or a misplaced row stand out far beyond that.
TEST(ReadJpeg, DecodesTheRasterThePictureWasMadeFrom) {
    constexpr int kWidth = 19, kHeight = 37;
    constexpr int kTolerance = 6;  // rounding in the colour conversion and the DCT at quality 100
    Bytes raster(size_t{kWidth} * kHeight * 3);
    for (int y = 0; y < kHeight; ++y) {
        for (int x = 0; x < kWidth; ++x) {
            unsigned char* p = &raster[(static_cast<size_t>(y) * kWidth + static_cast<size_t>(x)) * 3];
            p[0] = static_cast<unsigned char>(y % 2 == 0 ? 230 : 20);
            p[1] = static_cast<unsigned char>(40 + 5 * x);
            p[2] = static_cast<unsigned char>(200 - 5 * y);
        }
    }
    JpegOptions lossless;
    lossless.quality = 100;
    lossless.h_samp = lossless.v_samp = 1;
    const Bytes jpeg = encode_jpeg(raster.data(), kWidth, kHeight, 3, lossless);
    for (const JDIMENSION rows_per_call : {1u, 5u, kRowGroup, 64u}) {
        HeaderRecord header;
        const Bytes decoded = read_through_toolkit(jpeg, &header, rows_per_call);
        EXPECT_EQ(header.image_width, static_cast<JDIMENSION>(kWidth));
        EXPECT_EQ(header.image_height, static_cast<JDIMENSION>(kHeight));
        EXPECT_EQ(header.num_components, 3);
        EXPECT_LE(largest_difference(raster, decoded.data()), kTolerance) << rows_per_call << " rows a call";
    }

    const unsigned char pixel[3] = {200, 40, 90};
    HeaderRecord one;
    const Bytes single = read_through_toolkit(encode_jpeg(pixel, 1, 1, 3, lossless), &one, 1);
    EXPECT_EQ(single.size(), 3u);
    EXPECT_LE(largest_difference(single, pixel), kTolerance);

    HeaderRecord grey;
    read_through_toolkit(camera_picture(12, 8, 0, 1), &grey, kRowGroup);
    EXPECT_EQ(grey.num_components, 1);
}

// The output: baseline, the geometry asked for, quality 95 tables, and the
// same bytes as the test's own encoding of the same rows; an existing file is
// replaced.
TEST(WriteJpeg, BaselineQuality95OfTheGivenRows) {
    ScratchDir dir;
    constexpr JDIMENSION kWidth = 7, kHeight = 21;
    const std::vector<unsigned char> pixels = render_view(kWidth, kHeight, 0);
    const std::string path = dir / "a.jpg";
    write_file(path, Bytes(100000, 0x55));
    JpegWriter writer;
    ASSERT_EQ(write_jpeg_file(HeaderRecord{kWidth, kHeight, 3}, path, "in.mpo", nullptr, &writer), 1);
    // In uneven groups, as a pipeline hands them over.
    for (JDIMENSION y = 0; y < kHeight;) {
        const JDIMENSION count = std::min<JDIMENSION>(y % 2 == 0 ? 3 : 8, kHeight - y);
        std::vector<JSAMPROW> rows(count);
        for (JDIMENSION k = 0; k < count; ++k) {
            rows[k] = const_cast<unsigned char*>(pixels.data()) + static_cast<size_t>(y + k) * kWidth * 3;
        }
        write_jpeg_rows(&writer, rows.data(), count);
        y += count;
    }
    ASSERT_EQ(finish_jpeg_file(&writer), 1);
    const Bytes written = read_file(path);
    EXPECT_EQ(written, encoded(kWidth, kHeight, Bytes(pixels.begin(), pixels.end())));
    EXPECT_TRUE(is_baseline(written));
    const Decoded decoded = decode(written);
    EXPECT_EQ(decoded.width, kWidth);
    EXPECT_EQ(decoded.height, kHeight);
}

TEST(WriteJpeg, OutputThatCannotBeCreatedIsReported) {
    ScratchDir dir;
    const std::string path = dir / "missing/out.jpg";
    JpegWriter writer;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_EQ(write_jpeg_file(HeaderRecord{1, 1, 3}, path, "in.mpo", nullptr, &writer), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Error opening output jpeg file " + path + "\n!");
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find(path + ": No such file or directory\n"), std::string::npos) << err;
    EXPECT_FALSE(file_exists(path));
}

// The pipeline hands out every row of both views once, in order, the left
// view from the first picture; a third picture and trailing bytes are never
// decoded.
TEST(LoadStereoPair, HandsOutEveryRowOfBothViewsInOrder) {
    const StereoFile mpo = garden_mpo(13, kRowGroup * 2 + 3);
    // A third "picture" that would end the process if it were decoded.
    const Bytes file = concat({mpo.file, bytes({0xFF, 0xD8, 0xFF, 0xD9, 0x13, 0x37}), Bytes(500, 0)});
    const Decoded left = decode(mpo.left_jpeg), right = decode(mpo.right_jpeg);
    const size_t row = size_t{left.width} * 3;
    for (const size_t views : {1, 2}) {
        ScratchDir dir;
        StereoRows rows;
        FilePtr in;
        const Load result = load(file, views, &rows, &in);
        ASSERT_TRUE(result.ok) << result.out;
        EXPECT_EQ(result.out, "");
        testing::internal::CaptureStdout();
        ASSERT_TRUE(start_stereo_output(dir / "out.jpg", &rows));
        EXPECT_EQ(testing::internal::GetCapturedStdout(), writing(dir / "out.jpg"));
        ASSERT_EQ(rows.width, size_t{left.width});
        size_t y = 0;
        Bytes out;
        while (next_stereo_row(&rows)) {
            ASSERT_LT(y, left.height);
            EXPECT_EQ(memcmp(rows.left, &left.pixels[row * y], row), 0) << "left row " << y;
            EXPECT_EQ(memcmp(rows.right, &right.pixels[row * y], row), 0) << "right row " << y;
            // Each output row is the left row, then (when two views wide) the right one.
            for (size_t v = 0; v < views; ++v)
                memcpy(rows.out + v * row, v == 0 ? rows.left : rows.right, row);
            out.insert(out.end(), rows.out, rows.out + row * views);
            ++y;
        }
        EXPECT_EQ(y, size_t{left.height});
        ASSERT_TRUE(finish_stereo_output(&rows));
        EXPECT_EQ(read_file(dir / "out.jpg"), encoded(left.width * views, left.height, out));
    }
}

// Each refusal is decided from the headers, with the message of its kind; the
// size check comes first.
TEST(LoadStereoPair, RefusesFilesThatCannotBeComposed) {
    const Bytes left = camera_picture(12, 8, 0);
    const Bytes grey_left = camera_picture(12, 8, 0, 1);
    const Bytes grey_right = camera_picture(12, 8, 1, 1);
    const Bytes grey_wider_right = camera_picture(13, 8, 1, 1);
    const struct {
        Bytes file;
        size_t views;
        std::string message;
    } cases[] = {
        {Bytes(64, 0), 1, "File in.mpo does not contain two pictures\n"},
        {left, 1, "File in.mpo does not contain two pictures\n"},
        {concat({left, camera_picture(13, 8, 1)}), 1, "File in.mpo has views of different sizes\n"},
        {concat({left, camera_picture(12, 9, 1)}), 2, "File in.mpo has views of different sizes\n"},
        {concat({left, grey_right}), 1, "File in.mpo has views that are not RGB\n"},
        {concat({grey_left, grey_right}), 2, "File in.mpo has views that are not RGB\n"},
        {concat({grey_left, grey_wider_right}), 1, "File in.mpo has views of different sizes\n"},
    };
    for (const auto& c : cases) {
        StereoRows rows;
        FilePtr in;
        const Load result = load(c.file, c.views, &rows, &in);
        EXPECT_FALSE(result.ok);
        EXPECT_EQ(result.out, c.message);
    }
}
