#include "split.hpp"

#include <array>
#include <cerrno>

#include "batch.hpp"
#include "jpeg_walk.hpp"

namespace {

constexpr const char* kLeftSuffix = "_L.jpg";
constexpr const char* kRightSuffix = "_R.jpg";

// Picture k of a file's pictures, as people call it.
std::string picture_words(int k) {
    if (k == 0) return "the left picture";
    if (k == 1) return "the right picture";
    return "picture " + std::to_string(k + 1);
}

// Writes the picture located as j, picture k of the file, walking it on from
// its header (`walk`) as it is copied; false, having said why, when the
// output cannot be created or written completely. A picture without its
// end-of-image marker is copied all the same (it is all there is of it), and
// said to be cut short.
bool write_picture(FILE* in, StartTable* table, int count, int j, int k, const char* arg, ByteBuffer* buffer,
                   JpegWalk* walk) {
    const std::string name = split_output_name(arg, k);
    FilePtr out(create_output(name));
    if (!out) return false;
    const bool copied = copy_picture(in, table, count, j, out.get(), buffer, walk);
    const int error = errno;
    if (copied && walk->end < 0) {
        report_diagnostic(
            arg, (picture_words(k) + " is cut short (it ends before its end-of-image marker): " + name +
                  " holds what there is")
                     .c_str());
    }
    if (copied) report_writing(name);
    return close_output(&out, name, copied, error);
}

}  // namespace

std::string split_output_name(const char* arg, int j) {
    if (j == 0) return derive_output_name(arg, kLeftSuffix);
    if (j == 1) return derive_output_name(arg, kRightSuffix);
    // Later pictures get names of their own so that none replaces the right view.
    return derive_output_name(arg, ("_" + std::to_string(j + 1) + ".jpg").c_str());
}

bool split_pictures(FILE* in, StartTable* table, int count, const char* arg) {
    ByteBuffer buffer;
    if (count > 0 && !make_copy_buffer(in, table, count, count, &buffer)) {
        report_out_of_memory(arg);
        return false;
    }
    // A located start is a picture only when its header segments lead to a
    // frame and a scan: random bytes and a picture cut inside its header are
    // none, and get no name among the pictures.
    std::array<JpegWalk, kMaxStarts> walks{};
    int pictures = 0;
    for (int j = 0; j < count; ++j) {
        if (walk_picture_header(in, table, count, j, &buffer, &walks[j])) ++pictures;
    }
    // Not an MPO file after all (a text file, an empty one): saying nothing
    // and succeeding would hide it from the scripts that list failures.
    if (pictures == 0) {
        report_diagnostic(arg, "no JPEG picture found");
        return false;
    }
    bool all_written = true;
    for (int j = 0, k = 0; j < count; ++j) {
        if (!jpeg_is_picture(walks[j])) {
            report_diagnostic(arg,
                              ("the bytes at offset " + std::to_string((*table)[j]) +
                               " are not a JPEG picture (their header segments do not lead to a frame and a "
                               "scan): not written")
                                  .c_str());
            continue;
        }
        if (!write_picture(in, table, count, j, k++, arg, &buffer, &walks[j])) all_written = false;
    }
    return all_written;
}
