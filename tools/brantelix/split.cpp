#include "split.hpp"

#include <cerrno>

#include "batch.hpp"

namespace {

constexpr const char* kLeftSuffix = "_L.jpg";
constexpr const char* kRightSuffix = "_R.jpg";

// Writes picture j to `name`; false, having said why, when the output cannot
// be created or written completely.
bool write_picture(FILE* in, StartTable* table, int count, int j, const std::string& name,
                   ByteBuffer* buffer) {
    // The output is created before anything of its picture is read.
    FilePtr out(create_output(name));
    if (!out) return false;
    const bool copied = copy_picture(in, table, count, j, out.get(), buffer);
    const int error = errno;
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
    // Not an MPO file after all (a text file, an empty one): saying nothing
    // and succeeding would hide it from the scripts that list failures.
    if (count <= 0) {
        report_diagnostic(arg, "no JPEG picture found");
        return false;
    }
    ByteBuffer buffer;
    if (!make_copy_buffer(in, table, count, count, &buffer)) {
        report_out_of_memory(arg);
        return false;
    }
    bool all_written = true;
    for (int j = 0; j < count; ++j) {
        if (!write_picture(in, table, count, j, split_output_name(arg, j), &buffer)) all_written = false;
    }
    return all_written;
}
