// libFuzzer target for the splitter's whole per-file work: the input is
// written as an MPO file into a private folder and goes through the batch
// driver with the splitter's hook, exactly as brantelix handles an argument.
// The pictures written must be exactly the extents of the located starts
// (picture j runs from start j to start j + 1, the last one to the end of the
// file), under the splitter's names, with nothing else created and the input
// left as it was. Any violation aborts.
#include <dirent.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "batch.hpp"
#include "locator.hpp"
#include "split.hpp"

namespace {

using Bytes = std::vector<uint8_t>;

// One folder per fuzzing process, so that parallel jobs do not meet.
std::string g_folder;
std::string g_input;

// What the locator handed to the hook, before the hook could touch the table.
StartTable g_starts;
int g_count = -1;

void check(bool condition, const char* what) {
    if (condition) return;
    fprintf(stderr, "splitter_fuzzer: %s\n", what);
    abort();
}

bool record_and_split(FILE* in, StartTable* table, int count, const char* arg) {
    g_starts = *table;
    g_count = count;
    return split_pictures(in, table, count, arg);
}

std::set<std::string> folder_entries() {
    std::set<std::string> names;
    DIR* dir = opendir(g_folder.c_str());
    check(dir != nullptr, "cannot list the scratch folder");
    while (const dirent* entry = readdir(dir)) {
        if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0) names.insert(entry->d_name);
    }
    closedir(dir);
    return names;
}

void remove_folder_contents() {
    for (const std::string& name : folder_entries()) {
        std::string path = g_folder;
        path += "/";
        path += name;
        (void)remove(path.c_str());  // what cannot be removed shows in the next check
    }
}

void remove_folder() {
    remove_folder_contents();
    rmdir(g_folder.c_str());
}

bool read_whole(const std::string& path, Bytes* bytes) {
    FILE* f = fopen(path.c_str(), "rb");
    if (f == nullptr) return false;
    bytes->clear();
    uint8_t chunk[4096];
    size_t got;
    while ((got = fread(chunk, 1, sizeof chunk, f)) > 0) bytes->insert(bytes->end(), chunk, chunk + got);
    const bool ok = ferror(f) == 0;
    (void)fclose(f);  // read only: nothing left to lose
    return ok;
}

void write_whole(const std::string& path, const uint8_t* data, size_t size) {
    FILE* f = fopen(path.c_str(), "wb");
    check(f != nullptr, "cannot create the input file");
    check(fwrite(data, 1, size, f) == size, "cannot write the input file");
    check(fclose(f) == 0, "cannot close the input file");
}

std::string base_name(const std::string& path) {
    return path.substr(path.rfind('/') + 1);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    const char* tmp = getenv("TMPDIR");
    std::string pattern =
        std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/splitter_fuzzer.XXXXXX";
    check(mkdtemp(pattern.data()) != nullptr, "cannot create the scratch folder");
    g_folder = pattern;
    g_input = g_folder + "/in.mpo";
    check(atexit(remove_folder) == 0, "cannot arrange to remove the scratch folder");
    // The splitter reports every picture on standard output; the fuzzer's own
    // progress lines are on standard error.
    check(freopen("/dev/null", "w", stdout) != nullptr, "cannot silence standard output");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    write_whole(g_input, data, size);

    g_count = -1;
    char program[] = "brantelix";
    std::vector<char> input_arg(g_input.begin(), g_input.end());
    input_arg.push_back('\0');
    char* argv[] = {program, input_arg.data(), nullptr};
    check(run_batch(2, argv, "", "", record_and_split) == 0, "a picture could not be written");
    check(g_count >= 0 && g_count <= kMaxStarts, "the hook was not called with a valid count");

    std::set<std::string> expected = {base_name(g_input)};
    for (int j = 0; j < g_count; ++j) {
        const size_t begin = static_cast<size_t>(g_starts[j]);
        const size_t end = j + 1 < g_count ? static_cast<size_t>(g_starts[j + 1]) : size;
        check(begin < end && end <= size, "picture extent outside the file");
        const std::string name = split_output_name(g_input.c_str(), j);
        Bytes picture;
        check(read_whole(name, &picture), "a picture was not written");
        check(picture.size() == end - begin && memcmp(picture.data(), data + begin, end - begin) == 0,
              "a picture is not the bytes of its extent");
        check(expected.insert(base_name(name)).second, "two pictures got the same name");
    }
    check(folder_entries() == expected, "files other than the pictures were created");

    Bytes input;
    check(read_whole(g_input, &input), "the input disappeared");
    check(input.size() == size && (size == 0 || memcmp(input.data(), data, size) == 0),
          "the input was modified");
    remove_folder_contents();
    return 0;
}
