// The command-line frame that every tool shares: banner, one MPO file per
// argument, the output-name rule, and the messages that all tools print.
#ifndef STEREO_TOOLKIT_BATCH_HPP
#define STEREO_TOOLKIT_BATCH_HPP

#include <cstdio>
#include <string>

#include "locator.hpp"

// A tool's per-file work: called with the open input, its located starts and
// the argument as typed. The hook releases everything it creates before it
// returns; the driver then closes the input.
using FileHook = void (*)(FILE* in, StartTable* table, int count, const char* arg);

// Prints the banner, then opens, checks and locates each argument in turn and
// hands it to the hook. Returns 0, or -1 as soon as an input cannot be opened
// (the remaining arguments are left untouched).
int run_batch(int argc, char** argv, const char* banner, FileHook hook);

// The argument with its last four characters (the extension) replaced by
// `suffix`; any directory part is kept, so outputs land beside the input.
std::string derive_output_name(const char* arg, const char* suffix);

// Messages shared by several tools, printed on standard output.
void report_writing(const std::string& output_name);
void report_output_open_error(const std::string& output_name);
void report_write_error(const std::string& output_name);
void report_out_of_memory(const char* arg);

#endif
