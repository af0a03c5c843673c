// mpoalign: aligns the two views of each MPO file named on the command line,
// so that a point of the scene lies on the same row in both, and writes the
// aligned pair as a new MPO file: shot.mpo gives shot_aligned.mpo.
#include <cerrno>
#include <cmath>
#include <csetjmp>
#include <string>

#include "align.hpp"
#include "aligned_views.hpp"
#include "batch.hpp"
#include "features.hpp"
#include "mpo_writer.hpp"
#include "refine.hpp"
#include "stereo_pair.hpp"

namespace {

// The star rows are as long as the name line between them.
constexpr const char* kBanner =
    "*****************************\n"
    "****  MPOALIGN   T.Varno ****\n"
    "*****************************\n\n\n";
constexpr const char* kSummary =
    "Aligns the two views of each MPO stereo photograph, so that nothing in\n"
    "them is higher in one view than in the other: shot.mpo gives\n"
    "shot_aligned.mpo. A pair that cannot be aligned with confidence is\n"
    "refused, and nothing is written for it.\n";
constexpr const char* kSuffix = "_aligned.mpo";
constexpr size_t kViewsPerRow = 1;
constexpr int kLeft = 0, kRight = 1;

// Everything one file needs, owned outside the frame that a fatal library
// error jumps back to, and released when the file is done.
struct AlignJob {
    StereoRows rows;      // the staged views, their headers and checks, and the search decoding
    GreyBuilder grey[2];  // the search copies
    GreyBuilder fine[2];  // the finer copies in which the matches are made precise
    Alignment alignment;
    Crop crop{};
    JpegReader readers[2];  // each view decoded again, whole, for the resampling
    ByteBuffer view;
    std::vector<JSAMPROW> view_rows;
    CameraSegments camera;
    MemoryJpeg jpegs[2];
    ByteBuffer group;
    std::string output_name;
    FilePtr output;
    std::string why;
};

ViewSize size_of(const HeaderRecord& header) {
    return {static_cast<double>(header.image_width), static_cast<double>(header.image_height)};
}

// The text of a format with the values it takes (doubles only).
template <typename... Values>
std::string printed(const char* format, Values... values) {
    char text[200];
    (void)snprintf(text, sizeof text, format, values...);
    return text;
}

// What was done, in a photographer's words.
void describe(const char* arg, const Alignment& a, const Crop& crop, ViewSize size) {
    const Correction& c = a.correction;
    const std::string turned = c.roll_degrees == 0
                                   ? std::string("not turned")
                                   : printed("turned %.2f degrees ", std::fabs(c.roll_degrees)) +
                                         (c.roll_degrees > 0 ? "clockwise" : "anticlockwise");
    const double percent = 100 * (c.scale - 1);
    const std::string scaled =
        percent == 0 ? std::string("the same size")
                     : printed("%.2f %% ", std::fabs(percent)) + (percent > 0 ? "larger" : "smaller");
    const double down = moved_down(c, size);
    const std::string moved = printed("%.1f pixels ", std::fabs(down)) + (down >= 0 ? "lower" : "higher");
    std::string what =
        "the right view was " + turned + ", " + scaled + " and " + moved + " than the left one";
    if (a.keystone) {
        what += printed(", with a keystone of %.2f %% across and %.2f %% down", 100 * c.keystone_x,
                        100 * c.keystone_y);
    }
    what += "; each view took half the correction";
    if (c.level_degrees != 0) {
        what += printed(", and both were also turned %.2f degrees ", std::fabs(c.level_degrees)) +
                (c.level_degrees > 0 ? "clockwise" : "anticlockwise") +
                " to keep near and far points on the same rows";
    }
    report_diagnostic(arg, what.c_str());
    const double kept =
        static_cast<double>(crop.width) * static_cast<double>(crop.height) / (size.width * size.height);
    report_diagnostic(
        arg, (printed("vertical error %.2f pixels before, %.2f after, at %.0f matching points; ",
                      a.error_before, a.error_after, static_cast<double>(a.consistent)) +
              printed("%.0f x %.0f pixels kept (%.0f %% of the picture)", static_cast<double>(crop.width),
                      static_cast<double>(crop.height), 100 * kept))
                 .c_str());
}

// The matches and the estimate, in a frame of their own: nothing here calls
// the JPEG library, and what they hold is gone before it is called again.
void estimate(AlignJob* job) {
    const ViewSize size = size_of(job->rows.header);
    const std::vector<Match> matches = find_matches(job->grey[kLeft].view, job->grey[kRight].view, size);
    job->alignment = estimate_alignment(matches, size, match_tolerance(job->grey[kLeft].view));
    if (job->alignment.refusal.empty()) {
        // The same estimate again from the matches made precise, when enough
        // of them could be.
        const std::vector<Match> refined =
            refine_matches(matches, job->alignment.used, job->alignment.correction, job->fine[kLeft].view,
                           job->fine[kRight].view, size);
        Alignment finer = estimate_alignment(refined, size, match_tolerance(job->fine[kLeft].view));
        if (finer.refusal.empty()) job->alignment = finer;
        job->crop = largest_common_crop(job->alignment.correction, size);
    }
    for (int side : {kLeft, kRight}) job->grey[side] = job->fine[side] = GreyBuilder();
}

// Decodes a staged view again, whole, into job->view; false when the memory
// cannot be had.
bool decode_whole(AlignJob* job, FILE* stage, const char* arg, JpegReader* reader) {
    rewind(stage);
    HeaderRecord header;
    read_jpeg_header(stage, arg, &job->rows.fatal_error, reader, &header);
    const size_t row_bytes = size_t{header.image_width} * 3;
    if (!allocate_buffer(&job->view, row_bytes * header.image_height)) return false;
    try {
        job->view_rows.resize(header.image_height);
    } catch (const std::bad_alloc&) {
        return false;
    }
    for (JDIMENSION y = 0; y < header.image_height; ++y) job->view_rows[y] = job->view.data() + y * row_bytes;
    start_jpeg_read(reader);
    read_jpeg_rows(reader, job->view_rows.data(), header.image_height);
    finish_jpeg_read(reader);
    return true;
}

bool align(FILE* in, StartTable* table, int count, const char* arg, AlignJob* job) {
    if (setjmp(job->rows.fatal_error) != 0) return false;
    if (!load_stereo_pair(in, table, count, arg, kViewsPerRow, &job->rows)) return false;
    const HeaderRecord& header = job->rows.header;
    const int factor = search_factor(header.image_width);
    const int fine = refine_factor(header.image_width);
    decode_search_copies(&job->rows.left_reader, factor, fine, &job->rows.left_group, &job->grey[kLeft],
                         &job->fine[kLeft]);
    decode_search_copies(&job->rows.right_reader, factor, fine, &job->rows.right_group, &job->grey[kRight],
                         &job->fine[kRight]);
    estimate(job);
    if (!job->alignment.refusal.empty()) {
        report_diagnostic(arg, ("not aligned: " + job->alignment.refusal).c_str());
        return false;
    }
    for (const int side : {kLeft, kRight}) {
        FILE* stage = side == kLeft ? job->rows.left_stage.get() : job->rows.right_stage.get();
        const ViewWarp warp =
            view_warp(job->alignment.correction, size_of(header), job->crop, side == kLeft ? 1 : -1);
        if (!decode_whole(job, stage, arg, &job->readers[side])) {
            report_out_of_memory(arg);
            return false;
        }
        job->camera = camera_segments(stage);
        if (!encode_corrected_view(job->view, header, warp, job->camera, arg, &job->rows.fatal_error,
                                   &job->group, &job->jpegs[side])) {
            report_out_of_memory(arg);
            return false;
        }
    }
    job->view = ByteBuffer();
    describe(arg, job->alignment, job->crop, size_of(header));

    const std::vector<unsigned char>& left = job->jpegs[kLeft].bytes;
    const std::vector<unsigned char>& right = job->jpegs[kRight].bytes;
    // The writer's own refusals are taken before the output exists, so that a
    // failure after it is a failed write and its errno the write's.
    if (!check_mpo_picture(left.data(), left.size(), &job->why) ||
        !check_mpo_picture(right.data(), right.size(), &job->why)) {
        report_diagnostic(arg, job->why.c_str());
        return false;
    }
    job->output_name = derive_output_name(arg, kSuffix);
    report_writing(job->output_name);
    job->output.reset(create_output(job->output_name));
    if (!job->output) return false;
    const bool written =
        write_mpo(job->output.get(), left.data(), left.size(), right.data(), right.size(), &job->why);
    const int error = errno;
    return close_output(&job->output, job->output_name, written, error);
}

bool align_pair(FILE* in, StartTable* table, int count, const char* arg) {
    AlignJob job;
    return align(in, table, count, arg, &job);
}

}  // namespace

int main(int argc, char** argv) {
    use_reproducible_opencv();
    return run_batch(argc, argv, kBanner, kSummary, align_pair);
}
