#include "side_by_side.hpp"

#include <cstring>

void side_by_side(const unsigned char* left, const unsigned char* right, unsigned char* out, size_t width,
                  size_t height) {
    const size_t view_row = width * 3;
    for (size_t y = 0; y < height; ++y) {
        unsigned char* row = out + 2 * view_row * y;
        memcpy(row, right + view_row * y, view_row);
        memcpy(row + view_row, left + view_row * y, view_row);
    }
}
