// trismoldaven: writes a red-cyan colour anaglyph of each MPO file named on
// the command line: shot.mpo gives shot_ana.jpg.
#include <csetjmp>

#include "batch.hpp"
#include "colour_anaglyph.hpp"
#include "stereo_pair.hpp"

namespace {

// The star rows are as long as the name line between them.
constexpr const char* kBanner =
    "*********************************\n"
    "****  TRISMOLDAVEN   T.Varno ****\n"
    "*********************************\n\n\n";
constexpr const char* kSummary =
    "Writes a red-cyan colour anaglyph of each MPO stereo photograph, red from\n"
    "the left view, green and blue from the right: shot.mpo gives shot_ana.jpg.\n";
constexpr const char* kSuffix = "_ana.jpg";
constexpr size_t kViewsPerRow = 1;

// A fatal library error anywhere in the file comes back to the setjmp, its
// message printed; the caller's `rows` then releases everything.
bool compose(FILE* in, StartTable* table, int count, const char* arg, StereoRows* rows) {
    if (setjmp(rows->fatal_error) != 0) return false;
    if (!start_composing(in, table, count, arg, kSuffix, kViewsPerRow, rows)) return false;
    while (next_stereo_row(rows)) colour_anaglyph(rows->left, rows->right, rows->out, rows->width);
    return finish_stereo_output(rows);
}

bool make_anaglyph(FILE* in, StartTable* table, int count, const char* arg) {
    StereoRows rows;
    return compose(in, table, count, arg, &rows);
}

}  // namespace

int main(int argc, char** argv) {
    return run_batch(argc, argv, kBanner, kSummary, make_anaglyph);
}
