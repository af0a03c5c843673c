// The JPS picture: both views side by side in one picture twice as wide, the
// right view in the left half and the left view in the right half, so that
// crossing the eyes fuses them.
#ifndef VOSTRIN_SIDE_BY_SIDE_HPP
#define VOSTRIN_SIDE_BY_SIDE_HPP

#include <cstddef>

// libjpeg writes pictures of at most 65500 pixels a side (JPEG_MAX_DIMENSION).
constexpr size_t kMaxViewWidth = 65500 / 2;

// Completes the side-by-side picture `jps` (2 * width x height RGB pixels)
// whose right halves already hold the left view (it is decoded there), by
// copying the right view (width x height RGB pixels) into the left halves.
void side_by_side(unsigned char* jps, const unsigned char* right, size_t width, size_t height);

#endif
