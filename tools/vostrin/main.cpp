// vostrin: writes a side-by-side JPS picture of each MPO file named on the
// command line, right view on the left (cross-eyed viewing): shot.mpo gives
// shot.jps.
#include "batch.hpp"
#include "side_by_side.hpp"
#include "stereo_pair.hpp"

namespace {

// The star rows are as long as the name line between them.
constexpr const char* kBanner =
    "****************************\n"
    "****  VOSTRIN   T.Varno ****\n"
    "****************************\n\n\n";
constexpr const char* kSuffix = ".jps";

void make_jps(FILE* in, StartTable* table, int count, const char* arg) {
    const std::string output_name = derive_output_name(arg, kSuffix);
    StereoPair pair;
    // The left view is decoded straight into the right half of the output.
    ViewPlacement right_half;
    right_half.views_per_row = 2;
    right_half.column = 1;
    if (!load_stereo_pair(in, table, count, arg, &pair, right_half)) return;
    HeaderRecord header = pair.header;
    if (header.image_width > kMaxViewWidth) {
        printf("File %s is too wide for a side-by-side picture\n", arg);
        return;
    }
    side_by_side(pair.left.data(), pair.right.data(), header.image_width, header.image_height);
    pair.right = Raster();  // not needed while the picture is encoded
    header.image_width *= 2;
    write_composed(header, pair.left.data(), output_name);
}

}  // namespace

int main(int argc, char** argv) {
    return run_batch(argc, argv, kBanner, make_jps);
}
