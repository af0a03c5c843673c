// Test helpers for the composing tools: generated stereo files, and decoding
// and composing the expected results in-process.
#ifndef STEREO_TEST_JPEG_SUPPORT_HPP
#define STEREO_TEST_JPEG_SUPPORT_HPP

#include <string>

#include "jpeg_io.hpp"
#include "stereo_sample.hpp"
#include "test_support.hpp"

// Decodes a JPEG stream held in memory with the toolkit's reader.
Raster decode(const Bytes& jpeg, HeaderRecord* header);

// A stereo file and the bare JPEG streams of its two views.
struct StereoFile {
    Bytes file;
    Bytes left_jpeg;
    Bytes right_jpeg;
};

// A camera-like two-picture MPO of the garden scene, width x height.
StereoFile garden_mpo(int width, int height, const JpegOptions& options = JpegOptions());

// A picture as a camera stores it (Exif APP1 with a thumbnail) of the given
// pixels; `components` 1 makes a greyscale one.
Bytes camera_picture(int width, int height, int eye, int components = 3,
                     const JpegOptions& options = JpegOptions());

// The bytes write_jpeg_file produces for `raster` described by `header`.
Bytes encoded(const HeaderRecord& header, const unsigned char* raster);

#endif
