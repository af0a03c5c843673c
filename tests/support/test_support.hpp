// Shared helpers of the test suites: where the programs and the camera files
// are, scratch folders, running a program, and building byte streams.
#ifndef STEREO_TEST_SUPPORT_HPP
#define STEREO_TEST_SUPPORT_HPP

#include <cstdint>
#include <cstdio>
#include <initializer_list>
#include <string>
#include <vector>

#include "locator.hpp"

using Bytes = std::vector<unsigned char>;

// Folders given on the command line (--bin=DIR --samples=DIR); the test
// executables share one main that records them.
const std::string& bin_dir();
const std::string& samples_dir();

// Whether the folder of real camera files is missing (tests of them then
// skip, saying so). When it is there, every file the tests name must be in
// it: reading one that is not fails the test, naming the file.
bool samples_dir_absent();

// Path of a real camera file in that folder.
std::string sample_file(const char* name);

Bytes read_file(const std::string& path);
void write_file(const std::string& path, const Bytes& data);
bool file_exists(const std::string& path);

// A fresh folder below the system's temporary folder, removed with its
// contents when the test ends.
struct ScratchDir {
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    std::string path;
    std::string operator/(const std::string& name) const { return path + "/" + name; }
};

struct RunResult {
    int status = -1;  // exit status as a shell sees it; 128 + n after signal n
    std::string out;  // everything written to standard output
    std::string err;  // everything written to standard error
};

// Runs program `tool` of the build (brantelix, korventale, ...) with the
// arguments, in folder `cwd` (or the current one when empty).
RunResult run_tool(const std::string& tool, const std::vector<std::string>& args,
                   const std::string& cwd = "");

// How else a run may differ from a plain one.
struct RunOptions {
    // "NAME=value" entries added to the child's environment, replacing
    // inherited ones of the same name.
    std::vector<std::string> env;
    // A program (and its arguments) that runs the tool, such as valgrind.
    std::vector<std::string> wrapper;
    // Run as this user and group instead (-1: unchanged); needs root. Lets
    // tests see permissions refuse something even when the suite runs as root.
    int user = -1;
    // Standard error into standard output's pipe, as `2>&1` does: `out` gets
    // both in the order they were written, `err` nothing.
    bool merge_error = false;
};
RunResult run_tool(const std::string& tool, const std::vector<std::string>& args, const std::string& cwd,
                   const RunOptions& options);

// A tool started and not yet waited for, so that a test can act on it while
// it runs (send it a signal, say); finish_tool then collects its output and
// status.
struct RunningTool {
    int pid = -1;
    // What finish_tool reads and releases: the pipes (POSIX), or the process
    // handle and the files that take its two outputs (Windows).
    intptr_t process = 0;
    intptr_t out = -1;
    intptr_t err = -1;
};
RunningTool start_tool(const std::string& tool, const std::vector<std::string>& args, const std::string& cwd,
                       const RunOptions& options = RunOptions());
RunResult finish_tool(RunningTool* running);

// The memory a program may have in bytes (SIZE_MAX when unknown): the
// machine's, or a process's addresses where they are fewer; found apart from
// the toolkit's usable_memory, whose decisions tests check.
size_t program_memory();

// strerror's text for a folder opened as a file to write: Windows' C library
// gives EACCES where POSIX gives EISDIR.
extern const char* const kFolderOpenedAsFile;

// The programs as the tests see them. The splitter's suffix is nullptr: it
// names its outputs itself (split_output_name). mpojoin's takes the place of
// "_L.jpg" in its argument's name.
struct Tool {
    const char* name;
    const char* banner;
    const char* suffix;
};
extern const Tool kSplit;
extern const Tool kDubois;
extern const Tool kColour;
extern const Tool kJps;
extern const Tool kJoin;

// The line a tool prints for each output it writes.
std::string writing(const std::string& name);

// Byte strings written as lists of values.
Bytes bytes(std::initializer_list<int> values);
Bytes concat(std::initializer_list<Bytes> parts);

// A marker segment: FF marker, two-byte length, payload.
Bytes segment(int marker, const Bytes& payload);

// A JPEG-shaped stream for tests that do not decode: SOI, then the given
// header segments, a frame header, SOS and `data_length` bytes of
// entropy-coded-looking data (no FF in it), EOI. `seed` varies the data so
// pictures differ.
Bytes fake_picture(const Bytes& header, size_t data_length, unsigned seed);

// A temporary file (open_temporary) holding `data`, read from its start; throws
// when it cannot be made or filled, so that no test runs on a short stream.
FILE* temp_file_holding(const Bytes& data);

// Runs the locator over an in-memory stream.
std::vector<int32_t> locate(const Bytes& file);

#endif
