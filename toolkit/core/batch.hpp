// The command-line frame that every tool shares: banner, one MPO file per
// argument, the output-name rule, the exit status, and the messages that all
// tools print.
#ifndef STEREO_TOOLKIT_BATCH_HPP
#define STEREO_TOOLKIT_BATCH_HPP

#include <cstdio>
#include <string>

#include "file_io.hpp"
#include "locator.hpp"

// A tool's per-file work: called with the open input, its located starts and
// the argument as typed. Returns false when the file was refused or not
// fully converted, having said why. The hook releases everything it creates
// before it returns; the driver then closes the input.
using FileHook = bool (*)(FILE* in, StartTable* table, int count, const char* arg);

// Exit statuses, for the scripts that run the tools over folders: every file
// converted (or skipped for its extension); some file refused or not fully
// converted (a damaged picture, a full disk, ...), the others done; an input
// that cannot be opened, which stops the run (-1, seen as 255 by a POSIX
// shell).
constexpr int kAllConverted = 0;
constexpr int kSomeNotConverted = 1;
constexpr int kInputUnopenable = -1;

// What a tool's arguments name: MPO files, whose names must end in .mpo or
// .MPO (others are skipped with a message) and whose pictures are located
// before the hook is called; or left pictures of a stereo pair, NAME_L.jpg,
// each handed to the hook as it is, with no start located (count 0): the
// hook judges the name itself and finds the right picture beside it.
enum class BatchInputs { kMpoFiles, kLeftPictures };

// Prints the banner, then opens and checks each argument in turn (and
// locates the pictures of an MPO file) and hands it to the hook, and returns
// one of the statuses above. The remaining arguments are left untouched once
// an input cannot be opened. A lone argument --help prints a usage with the
// tool's `summary` (lines saying what it writes), a lone --version the
// version, instead.
int run_batch(int argc, char** argv, const char* banner, const char* summary, FileHook hook,
              BatchInputs inputs = BatchInputs::kMpoFiles);

// The argument with its last four characters (the extension) replaced by
// `suffix`; any directory part is kept, so outputs land beside the input.
std::string derive_output_name(const char* arg, const char* suffix);

// Creates the output `name` for writing. Until close_output, it is removed
// if the process is stopped, so that no truncated picture stays behind;
// `name` must stay valid until then. Returns
// nullptr, having reported why, when the output cannot be created.
FILE* create_output(const std::string& name);

// Closes an output from create_output. When `written` is false (`error`
// saying why) or the close fails, the incomplete output is removed and the
// failure reported, and false is returned.
bool close_output(FilePtr* out, const std::string& name, bool written, int error);

// Messages shared by several tools, printed on standard output; those of a
// failure that the system can explain follow its reason on standard error.
void report_writing(const std::string& output_name);
void report_output_open_error(const std::string& output_name, int error);
void report_write_error(const std::string& output_name, int error);
void report_out_of_memory(const char* arg);

// A line for people on standard error, "tool: name: what": the program's
// name, the file concerned and the reason. It comes just before the line on
// standard output that it explains, and standard output is flushed first, so
// that the two streams interleave in order in a terminal or a log.
void report_diagnostic(const char* name, const char* what);
// The same with the system's text for the error number.
void report_system_error(const char* name, int error);

#endif
