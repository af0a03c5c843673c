#include "side_by_side.hpp"

#include <cstring>

void side_by_side(unsigned char* jps, const unsigned char* right, size_t width, size_t height) {
    const size_t view_row = width * 3;
    for (size_t y = 0; y < height; ++y) memcpy(jps + 2 * view_row * y, right + view_row * y, view_row);
}
