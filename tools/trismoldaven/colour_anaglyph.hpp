// The colour anaglyph: red from the left view, green and blue from the right
// one, each copied unchanged.
#ifndef TRISMOLDAVEN_COLOUR_ANAGLYPH_HPP
#define TRISMOLDAVEN_COLOUR_ANAGLYPH_HPP

#include <cstddef>

// Composes `pixels` RGB pixels into `out`, which may be `left` itself.
void colour_anaglyph(const unsigned char* left, const unsigned char* right, unsigned char* out,
                     size_t pixels);

#endif
