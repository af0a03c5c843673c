#include "colour_anaglyph.hpp"

void colour_anaglyph(const unsigned char* left, const unsigned char* right, unsigned char* out,
                     size_t pixels) {
    for (size_t p = 0; p < pixels * 3; p += 3) {
        out[p] = left[p];
        out[p + 1] = right[p + 1];
        out[p + 2] = right[p + 2];
    }
}
