// libFuzzer target for the splitter's whole per-file work: the input is
// written as an MPO file into a private folder and goes through the batch
// driver with the splitter's hook, exactly as brantelix handles an argument.
// The pictures written must be exactly the extents of located starts, in
// order (picture j runs from start j to start j + 1, the last one to the end
// of the file), each beginning a JPEG stream with a scan in it, under the
// splitter's names and none skipped, with nothing else created and the input
// left as it was; the file is refused when none was written. Any violation
// aborts.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "batch.hpp"
#include "fuzz_support.hpp"
#include "locator.hpp"
#include "split.hpp"

namespace {

std::string g_folder;
std::string g_input;

// What the locator handed to the hook, before the hook could touch the table.
StartTable g_starts;
int g_count = -1;

bool record_and_split(FILE* in, StartTable* table, int count, const char* arg) {
    g_starts = *table;
    g_count = count;
    return split_pictures(in, table, count, arg);
}

std::string base_name(const std::string& path) {
    return path.substr(path.rfind('/') + 1);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    g_folder = make_scratch_folder("splitter_fuzzer");
    g_input = g_folder + "/in.mpo";
    // The splitter reports every picture on standard output; the fuzzer's own
    // progress lines are on standard error.
    capture_standard_output();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    write_whole(g_input, data, size);

    g_count = -1;
    const int status = run_batch_on(g_input, record_and_split);
    fuzz_check(g_count >= 0 && g_count <= kMaxStarts, "the hook was not called with a valid count");
    // Located starts that are no picture are left out, and the next
    // picture takes the name: the outputs match the extents in order.
    std::set<std::string> expected = {base_name(g_input)};
    int written = 0;
    for (int j = 0; j < g_count; ++j) {
        const size_t begin = static_cast<size_t>(g_starts[j]);
        const size_t end = j + 1 < g_count ? static_cast<size_t>(g_starts[j + 1]) : size;
        fuzz_check(begin < end && end <= size, "picture extent outside the file");
        const std::string name = split_output_name(g_input.c_str(), written);
        Bytes picture;
        if (!read_whole(name, &picture) || picture.size() != end - begin ||
            memcmp(picture.data(), data + begin, end - begin) != 0) {
            continue;
        }
        static const uint8_t kScan[] = {0xFF, 0xDA};
        fuzz_check(picture.size() > 4 && picture[0] == 0xFF && picture[1] == 0xD8 &&
                       std::search(picture.begin(), picture.end(), kScan, kScan + 2) != picture.end(),
                   "something without a scan was written as a picture");
        fuzz_check(expected.insert(base_name(name)).second, "two pictures got the same name");
        ++written;
    }
    // A file without pictures is refused; every other one is split.
    fuzz_check(status == (written > 0 ? 0 : 1), "a picture could not be written, or nothing was refused");
    fuzz_check(folder_entries(g_folder) == expected, "files other than the pictures were created");
    check_input_unchanged(g_input, data, size);
    (void)captured_output();  // emptied: nothing to check in the messages
    empty_folder(g_folder);
    return 0;
}
