// Test helpers for the composing tools: generated stereo files, and JPEG
// decoding and encoding done with the tests' own few libjpeg calls, so that
// an expectation never goes through the code it checks.
#ifndef STEREO_TEST_JPEG_SUPPORT_HPP
#define STEREO_TEST_JPEG_SUPPORT_HPP

#include <string>

#include "stereo_sample.hpp"
#include "test_support.hpp"

// A picture as any viewer decodes it: libjpeg's default settings.
struct Decoded {
    unsigned width = 0;
    unsigned height = 0;
    int components = 0;
    Bytes pixels;  // rows top to bottom, interleaved samples
};

// Decodes a JPEG stream held in memory; throws when libjpeg cannot.
Decoded decode(const Bytes& jpeg);

// Whether `jpeg` is a baseline (sequential Huffman) picture.
bool is_baseline(const Bytes& jpeg);

// The bytes the composing tools must write for an RGB raster: libjpeg's
// defaults for RGB input at quality 95 with baseline tables.
Bytes encoded(unsigned width, unsigned height, const Bytes& rgb);

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

#endif
