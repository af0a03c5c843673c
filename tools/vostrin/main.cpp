// vostrin: writes a side-by-side JPS picture of each MPO file named on the
// command line, right view on the left (cross-eyed viewing): shot.mpo gives
// shot.jps.
#include "batch.hpp"
#include "stereo_pair.hpp"

namespace {

// The star rows are as long as the name line between them.
constexpr const char* kBanner =
    "****************************\n"
    "****  VOSTRIN   T.Varno ****\n"
    "****************************\n\n\n";
constexpr const char* kSuffix = ".jps";

// libjpeg writes pictures of at most 65500 pixels a side (JPEG_MAX_DIMENSION).
constexpr JDIMENSION kMaxViewWidth = 65500 / 2;

void make_jps(FILE* in, StartTable* table, int count, const char* arg) {
    const std::string output_name = derive_output_name(arg, kSuffix);
    // The picture is both views side by side in rows twice as wide, in
    // cross-eyed order: the left view in the right half, the right view in
    // the left half. Each view is decoded straight into its place.
    ViewPlacement left_place;
    left_place.views_per_row = 2;
    left_place.column = 1;
    ViewPlacement right_place;
    right_place.views_per_row = 2;
    right_place.column = 0;
    StereoPair pair;
    if (!load_stereo_pair(in, table, count, arg, &pair, left_place, right_place)) return;
    HeaderRecord header = pair.header;
    if (header.image_width > kMaxViewWidth) {
        printf("File %s is too wide for a side-by-side picture\n", arg);
        return;
    }
    header.image_width *= 2;
    write_composed(header, pair.left.data(), output_name);
}

}  // namespace

int main(int argc, char** argv) {
    return run_batch(argc, argv, kBanner, make_jps);
}
