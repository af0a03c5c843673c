#include "batch.hpp"

#include <cstdint>
#include <cstring>

#include "file_io.hpp"

namespace {

constexpr size_t kExtensionLength = 4;  // ".mpo"

bool has_mpo_extension(const char* arg) {
    const size_t length = strlen(arg);
    if (length < kExtensionLength) return false;
    const char* extension = arg + length - kExtensionLength;
    // Only the two forms that cameras write are accepted, not mixed case.
    return strncmp(extension, ".mpo", kExtensionLength) == 0 ||
           strncmp(extension, ".MPO", kExtensionLength) == 0;
}

// Start offsets are 32-bit, so the last byte of an input must lie below 2 GiB.
// A size that cannot be measured is treated as too large.
bool fits_offsets(FILE* in) {
    if (seek_file(in, 0, SEEK_END) != 0) return false;
    const long long size = tell_file(in);
    if (size < 0 || size > INT32_MAX) return false;
    return seek_file(in, 0, SEEK_SET) == 0;
}

}  // namespace

int run_batch(int argc, char** argv, const char* banner, FileHook hook) {
    printf("%s", banner);
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        FilePtr in(open_input(arg));
        if (!in) {
            printf("Error when reading file\n");
            return -1;
        }
        if (!has_mpo_extension(arg)) {
            printf("File %s has not the right extension\n", arg);
            continue;
        }
        if (!is_regular_file(in.get())) {
            printf("File %s is not a regular file\n", arg);
            continue;
        }
        if (!fits_offsets(in.get())) {
            printf("File %s is too large\n", arg);
            continue;
        }
        StartTable table{};
        int count = 0;
        findJPEGs(in.get(), &table, &count);
        hook(in.get(), &table, count, arg);
    }
    return 0;
}

std::string derive_output_name(const char* arg, const char* suffix) {
    const size_t length = strlen(arg);
    const size_t kept = length < kExtensionLength ? 0 : length - kExtensionLength;
    return std::string(arg, kept) + suffix;
}

void report_writing(const std::string& output_name) {
    printf("Writing file %s\n", output_name.c_str());
}

void report_output_open_error(const std::string& output_name) {
    printf("Error opening output jpeg file %s\n!", output_name.c_str());
}

void report_write_error(const std::string& output_name) {
    printf("Error writing output file %s\n", output_name.c_str());
}

void report_out_of_memory(const char* arg) {
    printf("Not enough memory for file %s\n", arg);
}
