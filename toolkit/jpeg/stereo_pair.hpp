// What the three composing tools share: loading the two views of an MPO
// file, checking that they can be composed, and writing the result.
//
// A composing tool's hook, in this order: derive the output name, load the
// pair, compose, then write_composed (which announces the file before it is
// opened). Everything the pair holds is released when it goes out of scope.
#ifndef STEREO_TOOLKIT_STEREO_PAIR_HPP
#define STEREO_TOOLKIT_STEREO_PAIR_HPP

#include <cstdio>
#include <string>

#include "file_io.hpp"
#include "jpeg_io.hpp"
#include "locator.hpp"

struct StereoPair {
    HeaderRecord header;  // geometry of the views (as decoded from the right one)
    Raster left;          // first located picture, placed as the loader was asked
    Raster right;         // second located picture, unless it was placed in `left`
    // Each view's bytes are staged in an anonymous temporary file and decoded
    // from there; the files go when the pair does.
    FilePtr left_stage;
    FilePtr right_stage;
};

// Loads pictures 0 and 1 of the input into `pair`. The left view goes into
// `left` as `left_placement` says; when `right_placement` puts more than one
// view in a row, the right view goes into that place of `left` as well (if
// the views match), otherwise into `right`. Returns false, having printed
// why and releasing whatever it took, when the file has fewer than two
// pictures, when memory or a temporary file cannot be had, or when the views
// differ in size or are not both RGB. A fatal library error while decoding
// ends the process.
bool load_stereo_pair(FILE* in, StartTable* table, int count, const char* arg, StereoPair* pair,
                      ViewPlacement left_placement = ViewPlacement(),
                      ViewPlacement right_placement = ViewPlacement());

// Pixels in one view.
size_t view_pixels(const HeaderRecord& header);

// Announces the output and writes it at quality 95.
void write_composed(const HeaderRecord& header, const unsigned char* raster, const std::string& output_name);

#endif
