// STAND-IN for the toolkit's MPO writer, which is being written on its own
// branch and replaces this file when both are merged: same signature, but
// only the two pictures one after the other, without the multi-picture index
// (the locator and the composing tools read such a file as an MPO).
#ifndef MPOALIGN_MPO_STANDIN_HPP
#define MPOALIGN_MPO_STANDIN_HPP

#include <cstddef>
#include <cstdio>
#include <string>

// Writes the left then the right picture (complete JPEG streams) to `out`;
// false, with the reason in `why`, when a write fails.
bool write_mpo(FILE* out, const unsigned char* left, size_t left_size, const unsigned char* right,
               size_t right_size, std::string* why);

#endif
