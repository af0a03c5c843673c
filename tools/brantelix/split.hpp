// The splitter's per-file work: every located picture is copied out
// unchanged, the first as <name>_L.jpg, the second as <name>_R.jpg and any
// further ones as <name>_3.jpg, <name>_4.jpg, ... A located start whose
// header segments lead to no frame and scan is no picture: it is left out,
// and the pictures after it take its name.
#ifndef BRANTELIX_SPLIT_HPP
#define BRANTELIX_SPLIT_HPP

#include <cstdio>
#include <string>

#include "locator.hpp"

// Output name of picture j (counting from 0, false pictures left out) for
// the argument `arg`.
std::string split_output_name(const char* arg, int j);

// The hook run_batch calls for each input file; false when no picture was
// found in it or some picture could not be written. False and cut pictures
// are warned of on standard error, and leave the result alone.
bool split_pictures(FILE* in, StartTable* table, int count, const char* arg);

#endif
