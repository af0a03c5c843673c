// korventale: writes a red-cyan Dubois anaglyph of each MPO file named on the
// command line: shot.mpo gives shot_dub.jpg.
#include <csetjmp>

#include "batch.hpp"
#include "dubois.hpp"
#include "stereo_pair.hpp"

namespace {

// The star rows are as long as the name line between them.
constexpr const char* kBanner =
    "*******************************\n"
    "****  KORVENTALE   T.Varno ****\n"
    "*******************************\n\n\n";
constexpr const char* kSummary =
    "Writes a red-cyan anaglyph of each MPO stereo photograph, mixed with\n"
    "Dubois's matrix: shot.mpo gives shot_dub.jpg.\n";
constexpr const char* kSuffix = "_dub.jpg";
constexpr size_t kViewsPerRow = 1;

// A fatal library error anywhere in the file comes back to the setjmp, its
// message printed; the caller's `rows` then releases everything.
bool compose(FILE* in, StartTable* table, int count, const char* arg, StereoRows* rows) {
    if (setjmp(rows->fatal_error) != 0) return false;
    if (!start_composing(in, table, count, arg, kSuffix, kViewsPerRow, rows)) return false;
    while (next_stereo_row(rows)) dubois_anaglyph(rows->left, rows->right, rows->out, rows->width);
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
