// The JPS picture: both views side by side in one picture twice as wide, the
// right view in the left half and the left view in the right half, so that
// crossing the eyes fuses them.
#ifndef VOSTRIN_SIDE_BY_SIDE_HPP
#define VOSTRIN_SIDE_BY_SIDE_HPP

#include <cstddef>

// libjpeg writes pictures of at most 65500 pixels a side (JPEG_MAX_DIMENSION).
constexpr size_t kMaxViewWidth = 65500 / 2;

// Fills `out` (2 * width x height RGB pixels) from two RGB views of
// width x height pixels.
void side_by_side(const unsigned char* left, const unsigned char* right, unsigned char* out, size_t width,
                  size_t height);

#endif
