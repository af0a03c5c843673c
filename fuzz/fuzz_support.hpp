// What the in-process fuzz targets share: a private scratch folder for the
// files a run writes, and the checks made on it afterwards. Any violation
// aborts, which libFuzzer records as a crash together with the input.
#ifndef STEREO_FUZZ_SUPPORT_HPP
#define STEREO_FUZZ_SUPPORT_HPP

#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "batch.hpp"

using Bytes = std::vector<uint8_t>;

// Aborts with `what` on standard error, and in the sanitizers' report when
// they are linked in, unless `condition` holds.
void fuzz_check(bool condition, const char* what);

// Creates a new folder under TMPDIR (or /tmp) for this fuzzing process, so
// that parallel jobs do not meet, removed with its files when the process
// ends. `name` begins its name.
std::string make_scratch_folder(const char* name);

// The names in `folder`, without . and ..
std::set<std::string> folder_entries(const std::string& folder);

// Removes every file in `folder`; what cannot be removed shows in the next
// run's check of the folder.
void empty_folder(const std::string& folder);

// The whole content of a file; false when it cannot be read.
bool read_whole(const std::string& path, Bytes* bytes);

// Creates or replaces `path` with exactly these bytes, or aborts.
void write_whole(const std::string& path, const uint8_t* data, size_t size);

// Standard output into a file of the scratch folder (not listed by
// folder_entries), from now on: the tools' messages stay off the fuzzer's
// log and can be read back with captured_output.
void capture_standard_output();
// What was printed on standard output since the last call (the capture is
// emptied).
std::string captured_output();

// The batch driver over the one file `input`, as a tool's command line names
// it, with no banner: the status it returns.
int run_batch_on(const std::string& input, FileHook hook);

// The input, written as `path`, is exactly `data` again: a run never changes it.
void check_input_unchanged(const std::string& path, const uint8_t* data, size_t size);

#endif
