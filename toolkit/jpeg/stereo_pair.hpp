// The pipeline of the three composing tools: both views of an MPO file are
// decoded side by side a group of rows at a time, each row of the output is
// composed by the tool's rule from the same row of the two views, and the
// output is encoded as the rows come. Memory stays a few rows high whatever
// the picture.
//
// A composing tool's hook is two functions: the hook owns the pipeline, and
// the one it calls runs it, with the setjmp that a fatal library error (a
// damaged view, a full disk) returns to, its message printed:
//
//     bool compose(FILE* in, StartTable* table, int count, const char* arg, StereoRows* rows) {
//         if (setjmp(rows->fatal_error) != 0) return false;
//         if (!start_composing(in, table, count, arg, kSuffix, kViews, rows)) return false;
//         while (next_stereo_row(rows)) rule(rows->left, rows->right, rows->out, rows->width);
//         return finish_stereo_output(rows);
//     }
//     bool hook(FILE* in, StartTable* table, int count, const char* arg) {
//         StereoRows rows;
//         return compose(in, table, count, arg, &rows);
//     }
//
// Everything the pipeline holds is released when `rows` goes out of scope,
// after a fatal error too: the unfinished output is removed, and the batch
// goes on with the next file. `rows` lives outside the frame of the setjmp,
// whose own locals would be indeterminate after the jump, and no frame
// between that setjmp and the library owns anything with a destructor.
#ifndef STEREO_TOOLKIT_STEREO_PAIR_HPP
#define STEREO_TOOLKIT_STEREO_PAIR_HPP

#include <csetjmp>
#include <cstdio>
#include <string>
#include <vector>

#include "file_io.hpp"
#include "jpeg_io.hpp"
#include "locator.hpp"

// Rows move from the decoders to the encoder in groups of this many: one
// iMCU row of a 4:2:0 picture (two rows of 8 x 8 blocks), the unit in which
// libjpeg decodes and encodes the pictures cameras write.
constexpr JDIMENSION kRowGroup = 16;

struct StereoRows {
    // What the rule reads and fills: the current row of the left view (first
    // located picture), of the right view (second), and of the output, which
    // is `views_per_row` views wide. Each holds `width` RGB pixels per view.
    const unsigned char* left = nullptr;
    const unsigned char* right = nullptr;
    unsigned char* out = nullptr;
    size_t width = 0;

    // Where a fatal library error returns to; set by the hook before the
    // first call below.
    std::jmp_buf fatal_error{};

    // The pipeline's own state.
    const char* arg = nullptr;
    size_t views_per_row = 1;
    HeaderRecord header;  // of each view (both have the same geometry)
    // Each view's bytes are staged in an anonymous temporary file and
    // decoded from there, one independent reader per view.
    FilePtr left_stage;
    FilePtr right_stage;
    ByteBuffer stage_buffer;  // only until both views are staged
    JpegReader left_reader;
    JpegReader right_reader;
    JpegWriter writer;
    // One group of rows of each view and of the output, and the library's
    // row pointers into them.
    ByteBuffer left_group;
    ByteBuffer right_group;
    ByteBuffer out_group;
    std::vector<JSAMPROW> left_rows;
    std::vector<JSAMPROW> right_rows;
    std::vector<JSAMPROW> out_rows;
    JDIMENSION rows_read = 0;      // rows of each view decoded so far
    JDIMENSION rows_in_group = 0;  // rows in the current group
    JDIMENSION next_in_group = 0;  // the next row of the group to hand out
};

// Stages pictures 0 and 1 of the input, reads their headers and decides from
// them alone, before anything is decoded, whether the pair can be composed
// into an output `views_per_row` views wide. Returns false, having printed
// why, when the file has fewer than two pictures, when a temporary file or
// memory cannot be had, when a view declares more pixels than the machine
// could hold, when the views differ in size or are not both RGB, or when the
// output would be wider than a JPEG picture can be. A fatal library error in
// a header returns to `rows->fatal_error`.
bool load_stereo_pair(FILE* in, StartTable* table, int count, const char* arg, size_t views_per_row,
                      StereoRows* rows);

// Announces the output ("Writing file NAME"), creates it and starts decoding
// and encoding. Returns false when the output cannot be created.
bool start_stereo_output(const std::string& output_name, StereoRows* rows);

// load_stereo_pair, then start_stereo_output under the argument's name with
// its extension replaced by `suffix`.
bool start_composing(FILE* in, StartTable* table, int count, const char* arg, const char* suffix,
                     size_t views_per_row, StereoRows* rows);

// Moves to the next row: `left`, `right` and `out` then point at it. Returns
// false after the last row, once every row was handed to the encoder.
bool next_stereo_row(StereoRows* rows);

// Ends decoding and the output; false when the output could not be stored
// completely (it is then removed). A fatal library error while decoding or
// encoding any row returns to `rows->fatal_error`; `rows` then removes the
// unfinished output.
bool finish_stereo_output(StereoRows* rows);

#endif
