// vostrin: writes a side-by-side JPS picture of each MPO file named on the
// command line, right view on the left (cross-eyed viewing): shot.mpo gives
// shot.jps.
#include <csetjmp>

#include "batch.hpp"
#include "side_by_side.hpp"
#include "stereo_pair.hpp"

namespace {

// The star rows are as long as the name line between them.
constexpr const char* kBanner =
    "****************************\n"
    "****  VOSTRIN   T.Varno ****\n"
    "****************************\n\n\n";
constexpr const char* kSummary =
    "Writes a side-by-side JPS picture of each MPO stereo photograph, twice as\n"
    "wide as a view, the right view on the left for cross-eyed viewing:\n"
    "shot.mpo gives shot.jps.\n";
constexpr const char* kSuffix = ".jps";
constexpr size_t kViewsPerRow = 2;

// A fatal library error anywhere in the file comes back to the setjmp, its
// message printed; the caller's `rows` then releases everything.
bool compose(FILE* in, StartTable* table, int count, const char* arg, StereoRows* rows) {
    if (setjmp(rows->fatal_error) != 0) return false;
    if (!start_composing(in, table, count, arg, kSuffix, kViewsPerRow, rows)) return false;
    while (next_stereo_row(rows)) side_by_side(rows->left, rows->right, rows->out, rows->width);
    return finish_stereo_output(rows);
}

bool make_jps(FILE* in, StartTable* table, int count, const char* arg) {
    StereoRows rows;
    return compose(in, table, count, arg, &rows);
}

}  // namespace

int main(int argc, char** argv) {
    return run_batch(argc, argv, kBanner, kSummary, make_jps);
}
