#include "batch.hpp"

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "file_io.hpp"
#include "platform.hpp"

namespace {

constexpr size_t kExtensionLength = 4;  // ".mpo"

// The name diagnostics begin with, as Unix tools do: the program's file name
// without its folder (nor, on Windows, its .exe).
std::string& program_name() {
    static std::string name;
    return name;
}

void set_program_name(const char* argv0) {
    std::string name = argv0 != nullptr ? argv0 : "";
    const size_t slash = name.find_last_of("/\\");
    if (slash != std::string::npos) name.erase(0, slash + 1);
    const size_t dot = name.size() >= 4 ? name.size() - 4 : 0;
    if (name.size() > 4 && (name.compare(dot, 4, ".exe") == 0 || name.compare(dot, 4, ".EXE") == 0)) {
        name.erase(dot);
    }
    program_name() = name;
}

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

void print_usage(const char* summary, BatchInputs inputs) {
    const char* name = program_name().c_str();
    if (inputs == BatchInputs::kMpoFiles) {
        printf("Usage: %s FILE.mpo...\n%s", name, summary);
        printf(
            "Outputs are written beside each input and replace files of the same name.\n"
            "Only names ending in .mpo or .MPO are converted, others are skipped.\n");
    } else {
        printf("Usage: %s FILE_L.jpg...\n%s", name, summary);
        printf("Outputs are written beside each input and replace files of the same name.\n");
    }
    printf(
        "--help and --version are options only when alone: any other argument,\n"
        "and any argument of a longer list, is a file name.\n"
        "A file that is refused or damaged, or whose output cannot be written, is\n"
        "reported and given up, and the run goes on with the next; only an input\n"
        "that cannot be opened stops it.\n"
        "Exit status: 0 when every file was converted or skipped, 1 when some file\n"
        "was not (the others were), 255 when an input could not be opened.\n" STEREO_MANUAL_REFERENCE,
        name);
}

// Checks, locates and converts one argument that could be opened; false when
// it was refused or not fully converted.
bool convert(FILE* in, const char* arg, FileHook hook, BatchInputs inputs) {
    if (!is_regular_file(in)) {
        printf("File %s is not a regular file\n", arg);
        return false;
    }
    if (!fits_offsets(in)) {
        printf("File %s is too large\n", arg);
        return false;
    }
    StartTable table{};
    int count = 0;
    if (inputs == BatchInputs::kMpoFiles) findJPEGs(in, &table, &count);
    return hook(in, &table, count, arg);
}

// Opens, checks and converts each argument in turn; the run's exit status.
// `skipped` tells whether an argument was skipped for its extension, which
// leaves the status alone but converts nothing.
int convert_arguments(int argc, char** argv, FileHook hook, BatchInputs inputs, bool* skipped) {
    int status = kAllConverted;
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        FilePtr in(open_input(arg));
        if (!in) {
            const int error = errno;
            report_system_error(arg, error);
            printf("Error when reading file\n");
            return kInputUnopenable;
        }
        if (inputs == BatchInputs::kMpoFiles && !has_mpo_extension(arg)) {
            printf("File %s has not the right extension\n", arg);
            *skipped = true;
            continue;
        }
        if (!convert(in.get(), arg, hook, inputs)) status = kSomeNotConverted;
    }
    return status;
}

// A console window that Explorer opened for the program closes with it, and
// the messages with it: where there is something to read, it waits for Enter.
void keep_window_open_to_read(bool files_given, bool all_converted) {
    if (!keeps_console_window(console_processes(), files_given, all_converted)) return;
    const char* name = program_name().c_str();
    (void)fflush(stdout);
    if (files_given) {
        fprintf(stderr, "%s: not every file was converted, see above. Press Enter to close this window.\n",
                name);
    } else {
        fprintf(stderr, "%s: no file given: drop MPO files on %s.exe. Press Enter to close this window.\n",
                name, name);
    }
    wait_for_enter();
}

}  // namespace

int run_batch(int argc, char** argv, const char* banner, const char* summary, FileHook hook,
              BatchInputs inputs) {
    prepare_console();
    set_program_name(argc > 0 ? argv[0] : nullptr);
    // Only a lone option is one: with other arguments, every argument is a
    // file, as scripts that pass names beginning with a dash rely on.
    if (argc == 2 && strcmp(argv[1], "--help") == 0) {
        print_usage(summary, inputs);
        return kAllConverted;
    }
    if (argc == 2 && strcmp(argv[1], "--version") == 0) {
        printf("%s (stereo-mpo-tools) %s\n", program_name().c_str(), STEREO_MPO_TOOLS_VERSION);
        return kAllConverted;
    }

    printf("%s", banner);
    bool skipped = false;
    const int status = convert_arguments(argc, argv, hook, inputs, &skipped);
    keep_window_open_to_read(argc > 1, status == kAllConverted && !skipped);
    return status;
}

std::string derive_output_name(const char* arg, const char* suffix) {
    const size_t length = strlen(arg);
    const size_t kept = length < kExtensionLength ? 0 : length - kExtensionLength;
    return std::string(arg, kept) + suffix;
}

FILE* create_output(const std::string& name) {
    watch_output(name.c_str());
    FILE* out = open_output(name.c_str());
    if (out == nullptr) {
        const int error = errno;
        release_output();  // never created: whatever has the name is not ours
        report_output_open_error(name, error);
    }
    return out;
}

bool close_output(FilePtr* out, const std::string& name, bool written, int error) {
    const bool closed = close_file(out);
    if (written && !closed) error = errno;
    if (!written || !closed) {
        // A truncated picture must not pass for a finished one.
        discard_output();
        report_write_error(name, error);
        return false;
    }
    release_output();
    return true;
}

void report_writing(const std::string& output_name) {
    printf("Writing file %s\n", output_name.c_str());
}

void report_output_open_error(const std::string& output_name, int error) {
    report_system_error(output_name.c_str(), error);
    printf("Error opening output jpeg file %s\n!", output_name.c_str());
}

void report_write_error(const std::string& output_name, int error) {
    report_system_error(output_name.c_str(), error);
    printf("Error writing output file %s\n", output_name.c_str());
}

void report_out_of_memory(const char* arg) {
    printf("Not enough memory for file %s\n", arg);
}

void report_diagnostic(const char* name, const char* what) {
    (void)fflush(stdout);  // nothing to do about a failure here but go on
    fprintf(stderr, "%s: %s: %s\n", program_name().c_str(), name, what);
}

void report_system_error(const char* name, int error) {
    report_diagnostic(name, strerror(error));
}
