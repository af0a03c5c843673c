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
    if (!load_stereo_pair(in, table, count, arg, &pair)) return;
    HeaderRecord header = pair.header;
    if (header.image_width > kMaxViewWidth) {
        printf("File %s is too wide for a side-by-side picture\n", arg);
        return;
    }
    Raster jps;
    size_t bytes = 0;
    if (!raster_size(2 * static_cast<size_t>(header.image_width), header.image_height, 3, &bytes) ||
        !allocate_raster(&jps, bytes)) {
        report_out_of_memory(arg);
        return;
    }
    side_by_side(pair.left.data(), pair.right.data(), jps.data(), header.image_width, header.image_height);
    header.image_width *= 2;
    write_composed(header, jps.data(), output_name);
}

}  // namespace

int main(int argc, char** argv) {
    return run_batch(argc, argv, kBanner, make_jps);
}
