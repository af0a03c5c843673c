#include "fuzz_support.hpp"

#include <dirent.h>
#include <sanitizer/common_interface_defs.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

std::string g_scratch;
std::string g_capture;

// Standard output is captured in this file of the scratch folder, which the
// folder's listing leaves out: it is the fuzzer's, not the run's.
constexpr const char* kCaptureName = ".stdout";

void remove_scratch_folder() {
    empty_folder(g_scratch);
    if (!g_capture.empty()) (void)remove(g_capture.c_str());
    rmdir(g_scratch.c_str());
}

}  // namespace

// The sanitizers' runtime, when linked in, prints a summary line where its
// own reports go, which is where libFuzzer keeps its log when it closes
// standard error (-close_fd_mask=2, so that the tools' diagnostics stay off
// the log). Weak: absent when no sanitizer is linked in.
#pragma weak __sanitizer_report_error_summary

void fuzz_check(bool condition, const char* what) {
    if (condition) return;
    const std::string summary = std::string("fuzz check failed: ") + what;
    if (__sanitizer_report_error_summary != nullptr) __sanitizer_report_error_summary(summary.c_str());
    fprintf(stderr, "%s\n", summary.c_str());
    abort();
}

std::string make_scratch_folder(const char* name) {
    const char* tmp = getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/" + name + ".XXXXXX";
    fuzz_check(mkdtemp(pattern.data()) != nullptr, "cannot create the scratch folder");
    g_scratch = pattern;
    fuzz_check(atexit(remove_scratch_folder) == 0, "cannot arrange to remove the scratch folder");
    return g_scratch;
}

std::set<std::string> folder_entries(const std::string& folder) {
    std::set<std::string> names;
    DIR* dir = opendir(folder.c_str());
    fuzz_check(dir != nullptr, "cannot list the scratch folder");
    while (const dirent* entry = readdir(dir)) {
        if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0 &&
            strcmp(entry->d_name, kCaptureName) != 0) {
            names.insert(entry->d_name);
        }
    }
    closedir(dir);
    return names;
}

void empty_folder(const std::string& folder) {
    for (const std::string& name : folder_entries(folder)) {
        std::string path = folder + '/';
        path += name;
        (void)remove(path.c_str());
    }
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
    fuzz_check(f != nullptr, "cannot create the input file");
    fuzz_check(fwrite(data, 1, size, f) == size, "cannot write the input file");
    fuzz_check(fclose(f) == 0, "cannot close the input file");
}

void capture_standard_output() {
    g_capture = g_scratch + "/" + kCaptureName;
    fuzz_check(freopen(g_capture.c_str(), "w+", stdout) != nullptr, "cannot capture standard output");
}

std::string captured_output() {
    fuzz_check(fflush(stdout) == 0, "cannot flush standard output");
    Bytes bytes;
    fuzz_check(read_whole(g_capture, &bytes), "cannot read the captured standard output");
    fuzz_check(ftruncate(fileno(stdout), 0) == 0, "cannot empty the captured standard output");
    rewind(stdout);
    return std::string(bytes.begin(), bytes.end());
}

int run_batch_on(const std::string& input, FileHook hook) {
    char program[] = "fuzzer";
    std::vector<char> input_arg(input.begin(), input.end());
    input_arg.push_back('\0');
    char* argv[] = {program, input_arg.data(), nullptr};
    return run_batch(2, argv, "", "", hook);
}

void check_input_unchanged(const std::string& path, const uint8_t* data, size_t size) {
    Bytes input;
    fuzz_check(read_whole(path, &input), "the input disappeared");
    fuzz_check(input.size() == size && (size == 0 || memcmp(input.data(), data, size) == 0),
               "the input was modified");
}
