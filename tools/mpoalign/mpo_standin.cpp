// STAND-IN: see mpo_standin.hpp.
#include "mpo_standin.hpp"

#include <cerrno>
#include <cstring>

bool write_mpo(FILE* out, const unsigned char* left, size_t left_size, const unsigned char* right,
               size_t right_size, std::string* why) {
    if (fwrite(left, 1, left_size, out) == left_size && fwrite(right, 1, right_size, out) == right_size) {
        return true;
    }
    *why = strerror(errno);
    return false;
}
