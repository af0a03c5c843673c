#include "side_by_side.hpp"

#include <cstring>

void side_by_side(const unsigned char* left, const unsigned char* right, unsigned char* out, size_t width) {
    const size_t view_bytes = width * 3;
    memcpy(out, right, view_bytes);
    memcpy(out + view_bytes, left, view_bytes);
}
