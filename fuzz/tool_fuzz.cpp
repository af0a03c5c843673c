// Whole-program fuzzing of the composing tools. Their decoder ends the process
// on a fatal library error, so they cannot be fuzzed in-process; instead this
// program mutates a seed corpus of small MPO files and runs a tool (built with
// the sanitizers) on each mutated file, one file per run, in a scratch folder.
//
// Expected outcomes: status 0 with the output written; or status 1 with
// either the library's message on standard error or one of the tools' own
// refusals on standard output, and nothing written. Everything else is a
// finding: death by a signal, a sanitizer report, any other status, status 1
// without a reason or status 0 with a refusal, a run that does not end within
// the timeout, a modified input, an output left behind by a fatal error or a
// refusal, an announced output that is missing or incomplete, or any other
// file created.
// Each finding is saved (input and the run's output) in the findings folder.
//
// The mutations and their order depend only on --seed, so a run can be
// repeated; --seconds bounds it. A mutated file whose run ended in a way not
// seen before (status and messages) joins the pool that later mutations start
// from, which lets the mutations reach past the first checks of the decoder.
//
//     tool_fuzz --bin DIR --seeds DIR --findings DIR --seconds N [--seed N]
//               [--timeout SECONDS] [--tool NAME]...
//     tool_fuzz --bin DIR --replay FILE...
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <set>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

const char* const kComposingTools[] = {"korventale", "trismoldaven", "vostrin"};
constexpr const char* kInputName = "in.mpo";

// A sanitizer report ends the tool with this status, which neither the tools
// nor libjpeg use.
constexpr int kSanitizerStatus = 99;
// What the child reports when the tool cannot be started at all (the shell's
// "command not found").
constexpr int kCannotRunStatus = 127;
const char* const kSanitizerEnvironment[][2] = {
    {"ASAN_OPTIONS", "exitcode=99:detect_leaks=1:halt_on_error=1:abort_on_error=0"},
    {"UBSAN_OPTIONS", "exitcode=99:halt_on_error=1:print_stacktrace=1"},
    {"LSAN_OPTIONS", "exitcode=99"},
};
const char* const kSanitizerMarks[] = {"ERROR: AddressSanitizer", "ERROR: LeakSanitizer",
                                       "ERROR: UndefinedBehaviorSanitizer", "runtime error:"};

// Mutated files stay small: the seeds are a few kilobytes.
constexpr size_t kMaxInputSize = size_t{64} * 1024;
// Pictures the seeds do not come near. A file that declares a bigger frame
// (and not so big that the tools refuse it at once) would be decoded for
// seconds under the sanitizers: slow, but not wrong, so it is not run.
constexpr uint64_t kMaxDecodedBytes = uint64_t{3} << 22;  // a 4 Mpixel RGB view
// The tools refuse a file whose view raster exceeds a quarter of the memory.
constexpr uint64_t kRefusedMemoryShare = 4;
constexpr size_t kMaxPool = 512;
constexpr int kMaxSavedFindings = 50;
constexpr int kMaxStackedMutations = 4;

struct Options {
    std::string bin_dir;
    std::string seed_dir;
    std::string findings_dir = "findings";
    std::vector<std::string> tools;
    std::vector<std::string> replay;
    double seconds = 60;
    double timeout = 10;
    uint64_t seed = 1;
};

struct Outcome {
    bool ran = false;
    bool timed_out = false;
    int status = -1;  // exit status, or -1 after a signal
    int signal = 0;
    std::string out;
    std::string err;
    std::string failure;  // empty when the outcome is an expected one
};

// ---------------------------------------------------------------- randomness

// splitmix64: tiny, and gives the same sequence on every platform, which the
// standard library's distributions do not promise.
uint64_t g_state = 1;

uint64_t next_random() {
    uint64_t z = (g_state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

// Uniform in [0, n), n > 0.
size_t below(size_t n) {
    return static_cast<size_t>(next_random() % n);
}

// ------------------------------------------------------------------- files

bool read_file(const std::string& path, Bytes* bytes) {
    FILE* f = fopen(path.c_str(), "rb");
    if (f == nullptr) return false;
    bytes->clear();
    unsigned char chunk[65536];
    size_t got;
    while ((got = fread(chunk, 1, sizeof chunk, f)) > 0) bytes->insert(bytes->end(), chunk, chunk + got);
    const bool ok = ferror(f) == 0;
    (void)fclose(f);  // read only: nothing left to lose
    return ok;
}

bool write_file(const std::string& path, const void* data, size_t size) {
    FILE* f = fopen(path.c_str(), "wb");
    if (f == nullptr) return false;
    const bool written = fwrite(data, 1, size, f) == size;
    return fclose(f) == 0 && written;
}

std::string read_text(const std::string& path) {
    Bytes bytes;
    read_file(path, &bytes);
    return std::string(bytes.begin(), bytes.end());
}

// Names in a folder, sorted, without . and ..
std::vector<std::string> list_folder(const std::string& folder) {
    std::vector<std::string> names;
    DIR* dir = opendir(folder.c_str());
    if (dir == nullptr) return names;
    while (const dirent* entry = readdir(dir)) {
        if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0)
            names.emplace_back(entry->d_name);
    }
    closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

void empty_folder(const std::string& folder) {
    for (const std::string& name : list_folder(folder)) {
        std::string path = folder;
        path += "/";
        path += name;
        (void)remove(path.c_str());  // a file left behind is reported by the next run's checks
    }
}

// ---------------------------------------------------------------- mutation

// Offsets of the marker segments with a length (FF followed by a marker
// byte that is neither 00, FF, RSTn, SOI, EOI nor TEM), wherever they are.
std::vector<size_t> find_segments(const Bytes& file) {
    std::vector<size_t> at;
    for (size_t k = 0; k + 3 < file.size(); ++k) {
        const int m = file[k + 1];
        if (file[k] == 0xFF && m != 0x00 && m != 0xFF && m != 0x01 && !(m >= 0xD0 && m <= 0xD9))
            at.push_back(k);
    }
    return at;
}

// SOF0 .. SOF15 without DHT (C4), JPG (C8) and DAC (CC).
bool is_frame_marker(int m) {
    return m >= 0xC0 && m <= 0xCF && m != 0xC4 && m != 0xC8 && m != 0xCC;
}

unsigned read_u16(const Bytes& file, size_t at) {
    return (static_cast<unsigned>(file[at]) << 8) | file[at + 1];
}

void write_u16(Bytes* file, size_t at, unsigned value) {
    (*file)[at] = static_cast<unsigned char>(value >> 8);
    (*file)[at + 1] = static_cast<unsigned char>(value);
}

// Frame headers: FF Cn, length, precision, height, width, components.
constexpr size_t kFrameHeightAt = 5;
constexpr size_t kFrameWidthAt = 7;
constexpr size_t kFrameComponentsAt = 9;

std::vector<size_t> find_frames(const Bytes& file) {
    std::vector<size_t> frames;
    for (size_t at : find_segments(file)) {
        if (is_frame_marker(file[at + 1]) && at + kFrameComponentsAt < file.size()) frames.push_back(at);
    }
    return frames;
}

// The largest raster, in bytes, that any frame header in the file declares.
uint64_t largest_declared_raster(const Bytes& file) {
    uint64_t largest = 0;
    for (size_t at : find_frames(file)) {
        const uint64_t bytes = uint64_t{read_u16(file, at + kFrameHeightAt)} *
                               read_u16(file, at + kFrameWidthAt) *
                               std::max(1, static_cast<int>(file[at + kFrameComponentsAt]));
        largest = std::max(largest, bytes);
    }
    return largest;
}

uint64_t physical_memory() {
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long page_size = sysconf(_SC_PAGE_SIZE);
    if (pages <= 0 || page_size <= 0) return UINT64_MAX;
    return static_cast<uint64_t>(pages) * static_cast<uint64_t>(page_size);
}

// Byte values that mean something in a JPEG stream: marker prefix, SOI, EOI,
// SOS, DQT, SOF0, SOF2, DHT, APP1, APP2, plus the usual edges.
const unsigned char kInterestingBytes[] = {0x00, 0x01, 0x7F, 0x80, 0xFF, 0xD8, 0xD9, 0xDA,
                                           0xDB, 0xC0, 0xC2, 0xC4, 0xE1, 0xE2, 0x10, 0x40};
// Segment lengths around the edges the parsers must handle.
const unsigned kInterestingLengths[] = {0, 1, 2, 3, 4, 0x7FFF, 0x8000, 0xFFFE, 0xFFFF};
// Frame sizes: empty, minimal, odd, at libjpeg's limit and beyond it.
const unsigned kInterestingSides[] = {0, 1, 2, 7, 9, 17, 65500, 65535};
// What stereo files contain between and inside pictures.
const Bytes kInsertedMarkers[] = {{0xFF, 0xD8, 0xFF, 0xE1},
                                  {0xFF, 0xD8, 0xFF, 0xDB},
                                  {0xFF, 0xD9},
                                  {0xFF, 0xDA},
                                  {0xFF, 0xD8},
                                  {0xFF, 0xC4},
                                  {0xFF, 0xFF},
                                  {0xFF, 0x00}};

const Bytes& pick(const std::vector<Bytes>& pool) {
    return pool[below(pool.size())];
}

void mutate_once(Bytes* file, const std::vector<Bytes>& pool) {
    Bytes& f = *file;
    if (f.empty()) {
        f = pick(pool);
        return;
    }
    switch (below(11)) {
        case 0:  // flip one bit
            f[below(f.size())] ^= static_cast<unsigned char>(1u << below(8));
            break;
        case 1:  // set a byte to a value with a meaning
            f[below(f.size())] = kInterestingBytes[below(sizeof kInterestingBytes)];
            break;
        case 2: {  // set a byte to anything
            f[below(f.size())] = static_cast<unsigned char>(next_random());
            break;
        }
        case 3: {  // delete a chunk
            const size_t at = below(f.size());
            const size_t length = 1 + below(std::min<size_t>(f.size() - at, 64));
            f.erase(f.begin() + at, f.begin() + at + length);
            break;
        }
        case 4: {  // duplicate a chunk somewhere
            const size_t from = below(f.size());
            const size_t length = 1 + below(std::min<size_t>(f.size() - from, 256));
            const Bytes chunk(f.begin() + from, f.begin() + from + length);
            f.insert(f.begin() + below(f.size() + 1), chunk.begin(), chunk.end());
            break;
        }
        case 5: {  // insert random bytes
            Bytes chunk(1 + below(16));
            for (unsigned char& c : chunk) c = static_cast<unsigned char>(next_random());
            f.insert(f.begin() + below(f.size() + 1), chunk.begin(), chunk.end());
            break;
        }
        case 6: {  // insert a marker
            const Bytes& marker =
                kInsertedMarkers[below(sizeof kInsertedMarkers / sizeof kInsertedMarkers[0])];
            f.insert(f.begin() + below(f.size() + 1), marker.begin(), marker.end());
            break;
        }
        case 7: {  // change a segment's length
            const std::vector<size_t> segments = find_segments(f);
            if (segments.empty()) break;
            const size_t at = segments[below(segments.size())] + 2;
            const unsigned length = read_u16(f, at);
            const unsigned choice = static_cast<unsigned>(below(3));
            const unsigned changed =
                choice == 0
                    ? kInterestingLengths[below(sizeof kInterestingLengths / sizeof kInterestingLengths[0])]
                : choice == 1 ? length + 1 + static_cast<unsigned>(below(16))
                              : length - 1 - static_cast<unsigned>(below(16));
            write_u16(&f, at, changed & 0xFFFF);
            break;
        }
        case 8: {  // change a frame's width or height
            const std::vector<size_t> frames = find_frames(f);
            if (frames.empty()) break;
            const size_t at = frames[below(frames.size())] + (below(2) == 0 ? kFrameHeightAt : kFrameWidthAt);
            const unsigned side = read_u16(f, at);
            const unsigned changed =
                below(2) == 0
                    ? kInterestingSides[below(sizeof kInterestingSides / sizeof kInterestingSides[0])]
                    : side + static_cast<unsigned>(below(5)) - 2;
            write_u16(&f, at, changed & 0xFFFF);
            break;
        }
        case 9:  // truncate
            f.resize(below(f.size()));
            break;
        default: {  // splice: this file's beginning, another's end
            const Bytes& other = pick(pool);
            if (other.empty()) break;
            f.resize(below(f.size() + 1));
            f.insert(f.end(), other.begin() + below(other.size()), other.end());
            break;
        }
    }
}

Bytes mutated(const std::vector<Bytes>& pool) {
    Bytes file = pick(pool);
    const int rounds = 1 + static_cast<int>(below(kMaxStackedMutations));
    for (int r = 0; r < rounds; ++r) mutate_once(&file, pool);
    if (file.size() > kMaxInputSize) file.resize(kMaxInputSize);
    return file;
}

// ----------------------------------------------------------------- running

double now_seconds() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

void sleep_seconds(double seconds) {
    timespec ts;
    ts.tv_sec = static_cast<time_t>(seconds);
    ts.tv_nsec = static_cast<long>((seconds - static_cast<double>(ts.tv_sec)) * 1e9);
    nanosleep(&ts, nullptr);
}

// The output a tool writes for in.mpo.
std::string output_name(const std::string& tool) {
    if (tool == "korventale") return "in_dub.jpg";
    if (tool == "trismoldaven") return "in_ana.jpg";
    return "in.jps";
}

bool contains(const std::string& text, const char* what) {
    return text.find(what) != std::string::npos;
}

// Waits for the run `pid`, polling briefly at first: most runs take a few
// milliseconds. A run still going after `timeout` seconds is killed with its
// whole group. Returns false when the run was lost (errno says why).
bool wait_for_run(pid_t pid, double timeout, int* status, bool* timed_out) {
    const double deadline = now_seconds() + timeout;
    double pause = 0.0002;
    for (;;) {
        const pid_t done = waitpid(pid, status, WNOHANG);
        if (done == pid) return true;
        if (done < 0 && errno != EINTR) return false;
        if (now_seconds() > deadline) {
            kill(-pid, SIGKILL);
            waitpid(pid, status, 0);
            *timed_out = true;
            return true;
        }
        sleep_seconds(pause);
        pause = std::min(pause * 2, 0.01);
    }
}

// Runs `tool` on the file `input` placed in `scratch` (emptied first), with
// its standard output and error captured in files beside the scratch folder.
// Whether a tool's standard output holds a line of its own besides the
// banner's and the announcement of its output: a refusal of the file.
bool reports_a_refusal(const std::string& out) {
    for (size_t line = 0; line < out.size();) {
        const size_t end = std::min(out.find('\n', line), out.size());
        const std::string text = out.substr(line, end - line);
        if (!text.empty() && text[0] != '*' && text.rfind("Writing file ", 0) != 0) return true;
        line = end + 1;
    }
    return false;
}

Outcome run_tool(const Options& options, const std::string& tool, const Bytes& input,
                 const std::string& scratch, const std::string& capture) {
    Outcome outcome;
    empty_folder(scratch);
    const std::string input_path = scratch + "/" + kInputName;
    const std::string out_path = capture + "/stdout";
    const std::string err_path = capture + "/stderr";
    if (!write_file(input_path, input.data(), input.size())) {
        outcome.failure = "cannot write the input into the scratch folder";
        return outcome;
    }
    const std::string program = options.bin_dir + "/" + tool;

    // Nothing buffered may be written twice, by the child as well.
    (void)fflush(stdout);
    (void)fflush(stderr);
    const pid_t pid = fork();
    if (pid < 0) {
        outcome.failure = std::string("cannot start a run: ") + strerror(errno);
        return outcome;
    }
    if (pid == 0) {
        // A group of its own, so that a timeout ends whatever the run started.
        setpgid(0, 0);
        const int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int null_in = open("/dev/null", O_RDONLY);
        if (out < 0 || err < 0 || null_in < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0 ||
            dup2(null_in, 0) < 0 || chdir(scratch.c_str()) != 0) {
            _exit(kCannotRunStatus);
        }
        execl(program.c_str(), tool.c_str(), kInputName, static_cast<char*>(nullptr));
        _exit(kCannotRunStatus);
    }

    int status = 0;
    if (!wait_for_run(pid, options.timeout, &status, &outcome.timed_out)) {
        outcome.failure = std::string("lost the run: ") + strerror(errno);
        return outcome;
    }
    outcome.ran = true;
    outcome.out = read_text(out_path);
    outcome.err = read_text(err_path);
    if (WIFEXITED(status)) outcome.status = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) outcome.signal = WTERMSIG(status);

    if (outcome.timed_out) {
        outcome.failure = "no end within the timeout";
        return outcome;
    }
    if (outcome.signal != 0) {
        outcome.failure = "killed by signal " + std::to_string(outcome.signal);
        return outcome;
    }
    for (const char* mark : kSanitizerMarks) {
        if (contains(outcome.err, mark) || contains(outcome.out, mark)) {
            outcome.failure = "sanitizer report";
            return outcome;
        }
    }
    if (outcome.status == kSanitizerStatus) {
        outcome.failure = "sanitizer exit status";
        return outcome;
    }
    if (outcome.status == kCannotRunStatus) {
        // The machine, not the tool: no finding, and no use going on.
        outcome.ran = false;
        outcome.failure = "cannot run " + program;
        return outcome;
    }
    if (outcome.status != 0 && outcome.status != 1) {
        outcome.failure = "exit status " + std::to_string(outcome.status);
        return outcome;
    }
    const bool refused = reports_a_refusal(outcome.out);
    if (outcome.status == 1 && outcome.err.empty() && !refused) {
        outcome.failure = "exit status 1 without a library message or a refusal";
        return outcome;
    }
    if (outcome.status == 0 && refused) {
        outcome.failure = "a refused file reported as converted";
        return outcome;
    }

    Bytes after;
    if (!read_file(input_path, &after) || after != input) {
        outcome.failure = "the input was modified";
        return outcome;
    }
    const std::string output = output_name(tool);
    const bool announced = contains(outcome.out, ("Writing file " + output + "\n").c_str());
    Bytes written;
    const bool exists = read_file(scratch + "/" + output, &written);
    if (outcome.status == 1 && exists) {
        outcome.failure = "an output was left behind by a fatal error or a refusal";
        return outcome;
    }
    if (outcome.status == 0 && announced) {
        const size_t n = written.size();
        if (!exists || n < 4 || written[0] != 0xFF || written[1] != 0xD8 || written[n - 2] != 0xFF ||
            written[n - 1] != 0xD9) {
            outcome.failure = "the announced output is missing or incomplete";
            return outcome;
        }
    }
    if (outcome.status == 0 && !announced && exists) {
        outcome.failure = "an output was written without being announced";
        return outcome;
    }
    for (const std::string& name : list_folder(scratch)) {
        if (name != kInputName && name != output) {
            outcome.failure = "an unexpected file was created: " + name;
            return outcome;
        }
    }
    return outcome;
}

// What a run said, with numbers blanked (libjpeg's messages count bytes),
// so that runs ending the same way share one signature.
std::string signature(const std::string& tool, const Outcome& outcome) {
    std::string s = tool + " " + std::to_string(outcome.status) + "\n" + outcome.out + outcome.err;
    for (char& c : s) {
        if (c >= '0' && c <= '9') c = '#';
    }
    return s;
}

bool save_finding(const Options& options, int number, const std::string& tool, const Bytes& input,
                  const Outcome& outcome, std::string* path) {
    *path = options.findings_dir + "/" + tool + "-" + std::to_string(number) + ".mpo";
    const std::string report = "tool: " + tool + "\nfailure: " + outcome.failure +
                               "\nstatus: " + std::to_string(outcome.status) +
                               "\nsignal: " + std::to_string(outcome.signal) + "\n--- stdout\n" +
                               outcome.out + "\n--- stderr\n" + outcome.err;
    return write_file(*path, input.data(), input.size()) &&
           write_file(*path + ".txt", report.data(), report.size());
}

// ------------------------------------------------------------ command line

int usage(const char* message) {
    fprintf(stderr,
            "tool_fuzz: %s\n"
            "usage: tool_fuzz --bin DIR --seeds DIR [--findings DIR] [--seconds N] [--seed N]\n"
            "                 [--timeout SECONDS] [--tool NAME]...\n"
            "       tool_fuzz --bin DIR [--timeout SECONDS] [--tool NAME]... --replay FILE...\n",
            message);
    return 2;
}

bool parse_number(const char* text, double* value) {
    char* end = nullptr;
    errno = 0;
    *value = strtod(text, &end);
    return errno == 0 && end != text && *end == '\0' && *value >= 0;
}

bool parse_seed(const char* text, uint64_t* value) {
    char* end = nullptr;
    errno = 0;
    *value = strtoull(text, &end, 10);
    return errno == 0 && end != text && *end == '\0' && *text != '-';
}

bool known_tool(const std::string& name) {
    for (const char* tool : kComposingTools) {
        if (name == tool) return true;
    }
    return false;
}

// Returns 0 when the arguments are good, else the usage error's status.
int parse_options(int argc, char** argv, Options* options) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--replay") {
            for (++i; i < argc; ++i) options->replay.emplace_back(argv[i]);
            if (options->replay.empty()) return usage("--replay needs files");
            break;
        }
        if (i + 1 >= argc) return usage(("missing value after " + arg).c_str());
        const char* value = argv[++i];
        double number = 0;
        if (arg == "--bin") {
            options->bin_dir = value;
        } else if (arg == "--seeds") {
            options->seed_dir = value;
        } else if (arg == "--findings") {
            options->findings_dir = value;
        } else if (arg == "--tool") {
            if (!known_tool(value)) return usage("--tool must be korventale, trismoldaven or vostrin");
            options->tools.emplace_back(value);
        } else if (arg == "--seconds" && parse_number(value, &number)) {
            options->seconds = number;
        } else if (arg == "--timeout" && parse_number(value, &number) && number > 0) {
            options->timeout = number;
        } else if (arg == "--seed" && parse_seed(value, &options->seed)) {
        } else {
            return usage(("bad option " + arg + " " + value).c_str());
        }
    }
    if (options->bin_dir.empty()) return usage("--bin is needed");
    // The tools run in the scratch folder, so their folder must not be relative.
    char* absolute = realpath(options->bin_dir.c_str(), nullptr);
    if (absolute == nullptr) return usage(("no folder " + options->bin_dir).c_str());
    options->bin_dir = absolute;
    free(absolute);
    if (options->replay.empty() && options->seed_dir.empty()) return usage("--seeds is needed");
    if (options->tools.empty()) options->tools.assign(std::begin(kComposingTools), std::end(kComposingTools));
    return 0;
}

void set_sanitizer_environment() {
    for (const auto& variable : kSanitizerEnvironment) setenv(variable[0], variable[1], 1);
}

bool make_scratch(std::string* scratch, std::string* capture) {
    const char* tmp = getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/tool_fuzz.XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) return false;
    *capture = pattern;
    *scratch = pattern + "/run";
    return mkdir(scratch->c_str(), 0755) == 0;
}

void remove_scratch(const std::string& scratch, const std::string& capture) {
    empty_folder(scratch);
    rmdir(scratch.c_str());
    empty_folder(capture);
    rmdir(capture.c_str());
}

// Runs every tool once on each file; returns the number of failures.
int replay(const Options& options, const std::string& scratch, const std::string& capture) {
    int failures = 0;
    for (const std::string& path : options.replay) {
        Bytes input;
        if (!read_file(path, &input)) {
            printf("%s: cannot read\n", path.c_str());
            ++failures;
            continue;
        }
        for (const std::string& tool : options.tools) {
            const Outcome outcome = run_tool(options, tool, input, scratch, capture);
            printf("%s %s: status %d%s%s\n", path.c_str(), tool.c_str(), outcome.status,
                   outcome.failure.empty() ? "" : ", FAILURE: ", outcome.failure.c_str());
            if (!outcome.failure.empty()) {
                printf("--- stdout\n%s--- stderr\n%s", outcome.out.c_str(), outcome.err.c_str());
                ++failures;
            }
        }
    }
    return failures;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (const int status = parse_options(argc, argv, &options)) return status;
    set_sanitizer_environment();
    std::string scratch;
    std::string capture;
    if (!make_scratch(&scratch, &capture)) {
        fprintf(stderr, "tool_fuzz: cannot create a scratch folder: %s\n", strerror(errno));
        return 2;
    }
    if (!options.replay.empty()) {
        const int failures = replay(options, scratch, capture);
        remove_scratch(scratch, capture);
        return failures == 0 ? 0 : 1;
    }

    std::vector<Bytes> pool;
    for (const std::string& name : list_folder(options.seed_dir)) {
        Bytes seed;
        if (read_file(options.seed_dir + "/" + name, &seed) && !seed.empty()) pool.push_back(seed);
    }
    if (pool.empty()) {
        remove_scratch(scratch, capture);
        fprintf(stderr, "tool_fuzz: no seeds in %s\n", options.seed_dir.c_str());
        return 2;
    }
    mkdir(options.findings_dir.c_str(), 0755);

    g_state = options.seed;
    const uint64_t refused_above = physical_memory() / kRefusedMemoryShare;
    std::set<std::string> seen;
    std::vector<long> runs(options.tools.size(), 0);
    long exit0 = 0;
    long exit1 = 0;
    long skipped = 0;
    int findings = 0;
    const double start = now_seconds();
    const double end = start + options.seconds;
    double next_report = start + 60;
    printf("tool_fuzz: %zu seeds, %zu tools, seed %llu, %.0f s\n", pool.size(), options.tools.size(),
           static_cast<unsigned long long>(options.seed), options.seconds);

    for (long iteration = 0; now_seconds() < end && findings < kMaxSavedFindings; ++iteration) {
        const Bytes input = mutated(pool);
        const size_t t = static_cast<size_t>(iteration) % options.tools.size();
        const uint64_t declared = largest_declared_raster(input);
        if (declared > kMaxDecodedBytes && declared <= refused_above) {
            ++skipped;
            continue;
        }
        const Outcome outcome = run_tool(options, options.tools[t], input, scratch, capture);
        if (!outcome.ran) {
            remove_scratch(scratch, capture);
            fprintf(stderr, "tool_fuzz: %s\n", outcome.failure.c_str());
            return 2;
        }
        ++runs[t];
        if (!outcome.failure.empty()) {
            std::string path;
            ++findings;
            const bool saved = save_finding(options, findings, options.tools[t], input, outcome, &path);
            printf("FINDING %d: %s on %s: %s\n", findings, options.tools[t].c_str(),
                   saved ? path.c_str() : "(could not be saved)", outcome.failure.c_str());
            continue;
        }
        (outcome.status == 0 ? exit0 : exit1) += 1;
        if (pool.size() < kMaxPool && seen.insert(signature(options.tools[t], outcome)).second) {
            pool.push_back(input);
        }
        if (now_seconds() > next_report) {
            printf("tool_fuzz: %.0f s, %ld runs, %zu in the pool, %d findings\n", now_seconds() - start,
                   exit0 + exit1, pool.size(), findings);
            (void)fflush(stdout);  // progress only
            next_report += 60;
        }
    }

    remove_scratch(scratch, capture);
    printf(
        "tool_fuzz: %.0f s, %ld runs (status 0: %ld, status 1: %ld), %ld not run (huge declared frame),"
        " pool %zu\n",
        now_seconds() - start, exit0 + exit1 + findings, exit0, exit1, skipped, pool.size());
    for (size_t t = 0; t < options.tools.size(); ++t)
        printf("  %s: %ld runs\n", options.tools[t].c_str(), runs[t]);
    printf("tool_fuzz: %d finding%s%s%s\n", findings, findings == 1 ? "" : "s",
           findings > 0 ? " saved in " : "", findings > 0 ? options.findings_dir.c_str() : "");
    return findings == 0 ? 0 : 1;
}
