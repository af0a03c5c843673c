#include "split.hpp"

#include <vector>

#include "batch.hpp"
#include "file_io.hpp"

namespace {

constexpr const char* kLeftSuffix = "_L.jpg";
constexpr const char* kRightSuffix = "_R.jpg";

}  // namespace

std::string split_output_name(const char* arg, int j) {
    if (j == 0) return derive_output_name(arg, kLeftSuffix);
    if (j == 1) return derive_output_name(arg, kRightSuffix);
    // Later pictures get names of their own so that none replaces the right view.
    return derive_output_name(arg, ("_" + std::to_string(j + 1) + ".jpg").c_str());
}

void split_pictures(FILE* in, StartTable* table, int count, const char* arg) {
    if (count <= 0) return;
    std::vector<unsigned char> buffer;
    if (!make_copy_buffer(&buffer)) {
        report_out_of_memory(arg);
        return;
    }

    for (int j = 0; j < count; ++j) {
        const std::string name = split_output_name(arg, j);
        // The output is created before anything of its picture is read.
        FilePtr out(open_output(name.c_str()));
        if (!out) {
            report_output_open_error(name);
            continue;
        }
        bool written = copy_picture(in, table, count, j, out.get(), &buffer);
        if (written) report_writing(name);
        written = close_file(&out) && written;
        if (!written) {
            // A truncated copy must not pass for the picture.
            report_write_error(name);
            (void)remove(name.c_str());  // best effort: the failure is reported already
        }
    }
}
