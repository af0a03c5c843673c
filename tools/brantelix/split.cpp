#include "split.hpp"

#include <new>
#include <vector>

#include "batch.hpp"
#include "file_io.hpp"

namespace {

constexpr const char* kLeftSuffix = "_L.jpg";
constexpr const char* kRightSuffix = "_R.jpg";

// Pictures are copied through one buffer of this size rather than one of the
// picture's size: the outputs are the same bytes, and memory stays small
// whatever the camera.
constexpr size_t kCopyChunk = size_t{1} << 20;

// Copies `length` bytes of `in` from `begin` to `out`, or up to the end of the
// input when length is negative. A short read ends the copy with the bytes
// that were read. Returns false when a write fails.
bool copy_extent(FILE* in, long long begin, long long length, FILE* out,
                 std::vector<unsigned char>* buffer) {
    if (seek_file(in, begin, SEEK_SET) != 0) return true;
    long long remaining = length;
    while (length < 0 || remaining > 0) {
        size_t want = buffer->size();
        if (length >= 0 && static_cast<unsigned long long>(remaining) < want) {
            want = static_cast<size_t>(remaining);
        }
        const size_t got = fread(buffer->data(), 1, want, in);
        if (got > 0 && fwrite(buffer->data(), 1, got, out) != got) return false;
        if (got < want) break;
        remaining -= static_cast<long long>(got);
    }
    return true;
}

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
    try {
        buffer.resize(kCopyChunk);
    } catch (const std::bad_alloc&) {
        report_out_of_memory(arg);
        return;
    }

    for (int j = 0; j < count; ++j) {
        const std::string name = split_output_name(arg, j);
        // The output is created before anything of its picture is read.
        FilePtr out(fopen(name.c_str(), "wb"));
        if (!out) {
            report_output_open_error(name);
            continue;
        }
        const long long begin = (*table)[j];
        const long long length =
            store_end_if_last(in, table, count, j) ? (*table)[j + 1] - begin : -1;

        bool written = copy_extent(in, begin, length, out.get(), &buffer);
        if (written) report_writing(name);
        written = close_file(&out) && written;
        if (!written) {
            // A truncated copy must not pass for the picture.
            report_write_error(name);
            remove(name.c_str());
        }
    }
}
