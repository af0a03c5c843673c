// mpojoin: joins each left picture named on the command line with the right
// picture beside it into a stereo MPO file: shot_L.jpg and shot_R.jpg give
// shot.mpo.
#include "batch.hpp"
#include "join.hpp"

namespace {
// The star rows are as long as the name line between them.
constexpr const char* kBanner =
    "****************************\n"
    "****  MPOJOIN   T.Varno ****\n"
    "****************************\n\n\n";
constexpr const char* kSummary =
    "Joins each left picture with the right picture beside it into a stereo\n"
    "MPO file, the inverse of brantelix: shot_L.jpg and shot_R.jpg give\n"
    "shot.mpo. The pictures are copied as they are, with the multi-picture\n"
    "index that stereo cameras and viewers read. Only names ending in _L.jpg\n"
    "(the extension in any case) are joined; others are refused.\n";
}  // namespace

int main(int argc, char** argv) {
    return run_batch(argc, argv, kBanner, kSummary, join_pair, BatchInputs::kLeftPictures);
}
