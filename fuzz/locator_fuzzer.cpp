// libFuzzer target for the locator: whatever the bytes, the starts it reports
// must be real start sequences, in file order, inside the file, and never more
// than the table can hold. Any violation aborts, which libFuzzer records as a
// crash together with the input.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "file_io.hpp"
#include "locator.hpp"

namespace {

// No offset can take this value (it is negative), so a slot that still holds
// it was never written by the locator.
constexpr int32_t kUnwritten = INT32_MIN;

void check(bool condition, const char* what) {
    if (condition) return;
    fprintf(stderr, "locator_fuzzer: %s\n", what);
    abort();
}

// The locator reads a stream; a read-only memory stream over the input costs
// no file system work per run.
FilePtr open_bytes(const uint8_t* data, size_t size) {
    static uint8_t empty = 0;
    FilePtr in(fmemopen(size == 0 ? &empty : const_cast<uint8_t*>(data), size, "rb"));
    check(in != nullptr, "cannot open the input as a stream");
    return in;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FilePtr in = open_bytes(data, size);
    StartTable table;
    table.fill(kUnwritten);
    int count = -1;
    findJPEGs(in.get(), &table, &count);

    check(count >= 0 && count <= kMaxStarts, "count outside 0 .. 127");
    for (int j = 0; j < count; ++j) {
        const int32_t start = table[j];
        check(start >= 0 && static_cast<size_t>(start) + 4 <= size, "start outside the file");
        check(j == 0 || start > table[j - 1], "starts not strictly increasing");
        const uint8_t* s = data + start;
        check(s[0] == 0xFF && s[1] == 0xD8 && s[2] == 0xFF, "start is not FF D8 FF");
        check(s[3] != 0xDB, "start with DQT as fourth byte");
    }
    // The slots past the last start, the end slot included, belong to the caller.
    for (int j = count; j < kStartTableSize; ++j)
        check(table[j] == kUnwritten, "slot past the starts written");
    return 0;
}
