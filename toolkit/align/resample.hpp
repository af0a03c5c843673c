// Resampling a corrected view from the decoded one, a group of output rows
// at a time, in integer arithmetic so that every platform gives the same
// bytes: bicubic (Keys's kernel with a = -3/4, as OpenCV's and most
// editors' bicubic, a little sharper than Catmull-Rom's -1/2), source
// positions to 1/256 pixel.
#ifndef STEREO_TOOLKIT_RESAMPLE_HPP
#define STEREO_TOOLKIT_RESAMPLE_HPP

#include <cstddef>
#include <cstdint>

#include "align.hpp"

// Where each output pixel of one corrected view comes from: output pixel
// (column i, row j) is taken at source position apply(to_source, i, j), in
// the source view's pixel indices (pixel centres at whole numbers).
struct ViewWarp {
    Homography to_source;
    int64_t out_width, out_height;
};

// The warp of the left view (side +1) or the right view (side -1) of a pair
// of `size` under correction `c`, cropped to `crop`.
ViewWarp view_warp(const Correction& c, ViewSize size, const Crop& crop, int side);

// Fills `rows` output rows from `first_row` on, each out_width RGB pixels,
// rows `stride` bytes apart, from the RGB view `source` (width x height,
// rows without gaps). Samples outside the view take its nearest edge pixel.
void resample_rows(const unsigned char* source, size_t width, size_t height, const ViewWarp& warp,
                   int64_t first_row, size_t rows, unsigned char* out, size_t stride);

#endif
