// The side-by-side (JPS) row: both views in one row twice as wide, in
// cross-eyed order, the right view on the left.
#ifndef VOSTRIN_SIDE_BY_SIDE_HPP
#define VOSTRIN_SIDE_BY_SIDE_HPP

#include <cstddef>

// Writes the `width` RGB pixels of `right` then those of `left` into `out`,
// which holds 2 x width pixels.
void side_by_side(const unsigned char* left, const unsigned char* right, unsigned char* out, size_t width);

#endif
