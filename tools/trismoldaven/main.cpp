// trismoldaven: writes a red-cyan colour anaglyph of each MPO file named on
// the command line: shot.mpo gives shot_ana.jpg.
#include "batch.hpp"
#include "colour_anaglyph.hpp"
#include "stereo_pair.hpp"

namespace {

// The star rows are as long as the name line between them.
constexpr const char* kBanner =
    "*********************************\n"
    "****  TRISMOLDAVEN   T.Varno ****\n"
    "*********************************\n\n\n";
constexpr const char* kSuffix = "_ana.jpg";

void make_anaglyph(FILE* in, StartTable* table, int count, const char* arg) {
    const std::string output_name = derive_output_name(arg, kSuffix);
    StereoPair pair;
    if (!load_stereo_pair(in, table, count, arg, &pair)) return;
    // The left view keeps its red; green and blue come over from the right.
    colour_anaglyph(pair.left.data(), pair.right.data(), pair.left.data(), view_pixels(pair.header));
    write_composed(pair.header, pair.left.data(), output_name);
}

}  // namespace

int main(int argc, char** argv) {
    return run_batch(argc, argv, kBanner, make_anaglyph);
}
