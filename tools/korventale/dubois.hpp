// The Dubois red-cyan anaglyph: every output channel is a fixed linear mix of
// all six channels of the left and right pixels.
#ifndef KORVENTALE_DUBOIS_HPP
#define KORVENTALE_DUBOIS_HPP

#include <cstddef>

// Mixes `pixels` RGB pixels of `left` and `right` into `out`, which may be
// `left` itself (each pixel is read before it is overwritten).
void dubois_anaglyph(const unsigned char* left, const unsigned char* right, unsigned char* out,
                     size_t pixels);

// One pixel by the plain formula: eighteen products, a division by 1000 that
// truncates toward zero, then clamping to 0..255.
void dubois_pixel(const unsigned char* left, const unsigned char* right, unsigned char* out);

#endif
