// brantelix: splits each MPO file named on the command line into its pictures,
// byte for byte: shot.mpo gives shot_L.jpg (left view) and shot_R.jpg (right).
#include "batch.hpp"
#include "split.hpp"

namespace {
// The star rows are as long as the name line between them.
constexpr const char* kBanner =
    "******************************\n"
    "****  BRANTELIX   T.Varno ****\n"
    "******************************\n\n\n";
constexpr const char* kSummary =
    "Splits each MPO stereo photograph into its pictures, byte for byte:\n"
    "shot.mpo gives shot_L.jpg (left view) and shot_R.jpg (right view), and\n"
    "shot_3.jpg, shot_4.jpg, ... for any further pictures.\n";
}  // namespace

int main(int argc, char** argv) {
    return run_batch(argc, argv, kBanner, kSummary, split_pictures);
}
