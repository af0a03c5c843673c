// What the four tools do when things go wrong: damaged and hostile inputs,
// arguments that are not files, a full disk, folders and files they may not
// use, a temporary file or memory that cannot be had, an interrupt. Each case
// has one outcome, pinned here by running the built programs: a message (or
// libjpeg's, on standard error, for an error it cannot get past), the next
// argument converted and status 1; or the end of the run at an input that
// cannot be opened (255); and nothing half-written left behind, never a
// crash or a hang. Every test also checks that no input was changed.
#include <gtest/gtest.h>

#if !defined(_WIN32)
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <csignal>
#include <cstdint>
#include <cstring>
#include <filesystem>

#include "batch.hpp"
#include "jpeg_support.hpp"
#include "split.hpp"

namespace {

namespace fs = std::filesystem;

const Tool kComposing[] = {kDubois, kColour, kJps};
const Tool kAllTools[] = {kSplit, kDubois, kColour, kJps};

bool is_splitter(const Tool& tool) {
    return tool.suffix == nullptr;
}

// The outputs a tool writes for `stem`.mpo holding `pictures` pictures.
std::vector<std::string> outputs_of(const Tool& tool, const std::string& stem, int pictures = 2) {
    std::vector<std::string> names;
    if (!is_splitter(tool)) {
        names.push_back(stem + tool.suffix);
        return names;
    }
    const std::string arg = stem + ".mpo";
    for (int j = 0; j < pictures; ++j) names.push_back(split_output_name(arg.c_str(), j));
    return names;
}

// What a tool prints for a file it converts.
std::string converted(const Tool& tool, const std::string& stem, int pictures = 2) {
    std::string lines;
    for (const std::string& name : outputs_of(tool, stem, pictures)) lines += writing(name);
    return lines;
}

bool any_output_exists(const Tool& tool, const ScratchDir& dir, const std::string& stem) {
    for (const std::string& name : outputs_of(tool, stem)) {
        if (file_exists(dir / name)) return true;
    }
    return false;
}

void remove_outputs(const Tool& tool, const ScratchDir& dir, const std::string& stem, int pictures = 2) {
    for (const std::string& name : outputs_of(tool, stem, pictures)) (void)remove((dir / name).c_str());
}

// Above this, the bytes of an input are not read back but its size and time
// are still compared.
constexpr std::uintmax_t kLargestComparedInput = std::uintmax_t{64} << 20;

// The inputs of a run as they were before it: a tool must change none of
// them, whatever goes wrong.
struct InputRecord {
    std::string path;
    fs::file_status status;  // of a link itself, not of what it names
    std::uintmax_t size;     // of a regular file
    fs::file_time_type time;
    bool compared;  // whether `bytes` holds the contents
    Bytes bytes;
};

InputRecord record_of(const std::string& path) {
    const fs::path name = fs::u8path(path);
    InputRecord record{path, fs::symlink_status(name), 0, {}, false, {}};
    std::error_code gone;  // found by the caller
    // Not through a link: std::filesystem would give what it names.
    if (!fs::is_symlink(record.status)) record.time = fs::last_write_time(name, gone);
    if (fs::is_regular_file(record.status)) record.size = fs::file_size(name, gone);
    return record;
}

std::vector<InputRecord> record_inputs(const std::vector<std::string>& paths) {
    std::vector<InputRecord> records;
    for (const std::string& path : paths) {
        InputRecord record = record_of(path);
        if (!fs::exists(record.status)) throw std::runtime_error("no input " + path);
        record.compared = fs::is_regular_file(record.status) && record.size <= kLargestComparedInput;
        try {
            if (record.compared) record.bytes = read_file(path);
        } catch (const std::runtime_error&) {
            record.compared = false;  // unreadable to this user (not root): the rest is still compared
        }
        records.push_back(record);
    }
    return records;
}

void expect_inputs_unchanged(const std::vector<InputRecord>& records) {
    for (const InputRecord& before : records) {
        const InputRecord now = record_of(before.path);
        ASSERT_TRUE(fs::exists(now.status)) << before.path << " is gone";
        EXPECT_TRUE(now.status.type() == before.status.type()) << before.path;
        EXPECT_TRUE(now.status.permissions() == before.status.permissions()) << before.path;
        EXPECT_EQ(now.size, before.size) << before.path;
        EXPECT_TRUE(now.time == before.time) << before.path;
        if (before.compared && fs::is_regular_file(now.status)) {
            EXPECT_EQ(read_file(before.path), before.bytes) << before.path;
        }
    }
}

std::vector<std::string> in_dir(const ScratchDir& dir, const std::vector<std::string>& names) {
    std::vector<std::string> paths;
    paths.reserve(names.size());
    for (const std::string& name : names) paths.push_back(dir / name);
    return paths;
}

// What a tool prints on standard error about `name`: one line per message.
std::string diagnostics(const Tool& tool, const std::string& name,
                        std::initializer_list<std::string> messages) {
    std::string lines;
    for (const std::string& message : messages) {
        lines.append(tool.name).append(": ").append(name).append(": ").append(message).append("\n");
    }
    return lines;
}

// The messages on standard output that a line on standard error explains.
const char* const kExplainedMessages[] = {"Error when reading file", "Error opening output jpeg file ",
                                          "Error writing output file ", "Error creating temporary file for "};

// Runs `tool` again with both streams on one pipe (2>&1), as a log gets
// them: each explained message must come right after its reason,
// "tool: name: ...", the name being the one the message gives.
void expect_reasons_first(const Tool& tool, const std::vector<std::string>& args, const std::string& cwd,
                          RunOptions options = RunOptions()) {
    options.merge_error = true;
    const std::string log = run_tool(tool.name, args, cwd, options).out;
    std::string previous;
    int explained = 0;
    for (size_t at = 0; at < log.size();) {
        const size_t end = std::min(log.find('\n', at), log.size());
        // A "!" that ends an output-open message begins the next line.
        std::string line = log.substr(at, end - at);
        if (line.rfind('!', 0) == 0) line.erase(0, 1);
        for (const char* message : kExplainedMessages) {
            if (line.rfind(message, 0) != 0) continue;
            ++explained;
            const std::string name = line.substr(strlen(message));
            const std::string reason = std::string(tool.name) + ": " + name + (name.empty() ? "" : ": ");
            EXPECT_EQ(previous.rfind(reason, 0), 0u) << "no reason before \"" << line << "\" in\n" << log;
        }
        previous = line;
        at = end + 1;
    }
    EXPECT_GT(explained, 0) << log;
}

// A small camera-like stereo file that every tool converts.
constexpr int kGoodWidth = 32, kGoodHeight = 24;

Bytes good_mpo() {
    static const Bytes file = garden_mpo(kGoodWidth, kGoodHeight).file;
    return file;
}

// The length field of the segment whose marker is at `segment_at`.
int segment_length(const Bytes& file, size_t segment_at) {
    return file[segment_at + 2] << 8 | file[segment_at + 3];
}

// The offset of the first segment with `marker` among the header segments of
// the picture that starts at `start`, stepping over each by its length.
size_t header_segment(const Bytes& file, size_t start, int marker) {
    size_t at = start + 2;
    while (at + 4 <= file.size() && file[at] == 0xFF) {
        if (file[at + 1] == marker) return at;
        if (file[at + 1] == 0xDA) break;
        at += 2 + segment_length(file, at);
    }
    throw std::runtime_error("no such header segment");
}

// The entropy-coded data of the picture that starts at `start` and ends
// (EOI included) at `end`.
void entropy_data(const Bytes& file, size_t start, size_t end, size_t* begin, size_t* length) {
    const size_t sos = header_segment(file, start, 0xDA);
    *begin = sos + 2 + segment_length(file, sos);
    *length = end - 2 - *begin;
}

Bytes with_length(Bytes file, size_t segment_at, int length) {
    file[segment_at + 2] = static_cast<unsigned char>(length >> 8);
    file[segment_at + 3] = static_cast<unsigned char>(length & 0xFF);
    return file;
}

#if !defined(_WIN32)  // permissions as another user, and FIFOs, are POSIX
// The user that runs the tools in the permission tests: the suite often runs
// as root (as CI does), for whom permissions refuse nothing, so root runs
// them as "nobody" instead. The tools and the scratch folders are then
// visible to that user as long as the folders above them are; otherwise the
// tests skip.
constexpr int kNobody = 65534;

RunOptions unprivileged() {
    RunOptions options;
    if (geteuid() == 0) options.user = kNobody;
    return options;
}

// Why permission tests cannot run here, or "" when they can.
std::string why_permissions_do_not_apply() {
    const RunResult probe = run_tool("brantelix", {}, "", unprivileged());
    if (probe.status != 0 || probe.out != kSplit.banner) {
        return "the tools cannot be run as an unprivileged user";
    }
    if (geteuid() != 0) {
        // A user who may override permissions (a capability) reads anything.
        ScratchDir dir;
        write_file(dir / "probe", bytes({1}));
        chmod((dir / "probe").c_str(), 0);
        FILE* f = fopen((dir / "probe").c_str(), "rb");
        if (f != nullptr) {
            (void)fclose(f);
            return "this user is not stopped by file permissions";
        }
    }
    return "";
}

// Makes `dir` usable by the unprivileged user.
void open_to_everyone(const ScratchDir& dir) {
    ASSERT_EQ(chmod(dir.path.c_str(), 0777), 0);
}
#endif

// The fault injection library (tests/support/fault_inject.c) loaded into a
// run, with its settings.
RunOptions with_faults(const std::vector<std::string>& settings) {
    RunOptions options;
    options.env = settings;
    options.env.push_back(std::string("LD_PRELOAD=") + FAULT_INJECT_LIBRARY);
    return options;
}

bool have_fault_injection() {
    return strlen(FAULT_INJECT_LIBRARY) > 0;
}

constexpr const char* kNoFaultInjection =
    "fault injection needs LD_PRELOAD and glibc's allocator (not Windows, sanitizer or fuzzer builds)";

#if !defined(_WIN32)  // FIFOs and fork are POSIX
// Should a tool wait on a FIFO with no writer after all, a process started
// here opens it for writing after a while, so that the test fails instead of
// hanging, and says so. Such an open succeeds only while someone waits to
// read.
pid_t start_fifo_releaser(const std::string& fifo) {
    constexpr unsigned kPatienceSeconds = 30;
    const pid_t pid = fork();
    if (pid == 0) {
        sleep(kPatienceSeconds);
        _exit(open(fifo.c_str(), O_WRONLY | O_NONBLOCK) >= 0 ? 1 : 0);
    }
    return pid;
}

// Ends the releaser; true when it had to release a waiting reader.
bool fifo_was_waited_on(pid_t releaser) {
    kill(releaser, SIGKILL);
    int status = 0;
    waitpid(releaser, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 1;
}
#endif

// A view of 8 x 8 pixels, a few hundred bytes, whose frame header declares
// kBombSide x kBombSide pixels, or `height` rows of kBombSide.
constexpr int kBombSide = 65500;  // the largest dimension libjpeg accepts

Bytes bomb_view(int eye, bool progressive, int height = kBombSide) {
    JpegOptions options;
    options.progressive = progressive;
    const std::vector<unsigned char> pixels = render_view(8, 8, eye);
    Bytes jpeg = encode_jpeg(pixels.data(), 8, 8, 3, options);
    const size_t frame = header_segment(jpeg, 0, progressive ? 0xC2 : 0xC0);
    jpeg[frame + 5] = static_cast<unsigned char>(height >> 8);
    jpeg[frame + 6] = static_cast<unsigned char>(height & 0xFF);
    jpeg[frame + 7] = kBombSide >> 8;
    jpeg[frame + 8] = kBombSide & 0xFF;
    return jpeg;
}

// The height of a bomb view whose raster takes three eighths of the memory,
// between the quarter that the tools refuse and the half that a careless
// limit would; 0 where no picture libjpeg accepts is that large.
int middling_bomb_height() {
    const size_t rows = program_memory() / 8 * 3 / (size_t{kBombSide} * 3);
    return rows > 0 && rows <= size_t{kBombSide} ? static_cast<int>(rows) : 0;
}

bool have_peak_memory() {
    return strlen(PEAK_MEMORY_PROGRAM) > 0;
}

constexpr const char* kNoPeakMemory = "peak memory is measured with POSIX fork and wait4";

// Runs a tool through tests/support/peak_memory.c and gives its peak
// resident memory in KiB (the tool's own, not what it inherits from the test
// process).
RunResult run_measured(const Tool& tool, const std::vector<std::string>& args, const std::string& cwd,
                       long* peak_kib) {
    ScratchDir report;
    RunOptions options;
    options.wrapper = {PEAK_MEMORY_PROGRAM, report / "peak"};
    RunResult r = run_tool(tool.name, args, cwd, options);
    const Bytes figure = read_file(report / "peak");
    *peak_kib = std::stol(std::string(figure.begin(), figure.end()));
    return r;
}

// The tools refuse a view whose raster exceeds a quarter of the memory; on a
// machine that large the bomb is a picture it can hold. Counted in 64 bits:
// the raster is more than a 32-bit size_t holds.
bool bombs_are_refused() {
    return uint64_t{kBombSide} * kBombSide * 3 > program_memory() / 4;
}

// A view that compresses like a photograph's detail (a flat one would be
// decoded and written in a blink): a gradient with noise.
Bytes busy_view(int width, int height, const JpegOptions& options = JpegOptions()) {
    Bytes pixels(static_cast<size_t>(width) * static_cast<size_t>(height) * 3);
    unsigned state = 12345;
    for (size_t k = 0; k < pixels.size(); ++k) {
        state = state * 1103515245u + 12345u;
        pixels[k] = static_cast<unsigned char>((k / 3 % static_cast<size_t>(width)) / 40 + (state >> 27));
    }
    return encode_jpeg(pixels.data(), width, height, 3, options);
}

// A flat view: quick to make at any size.
Bytes flat_view(int width, int height, int components, const JpegOptions& options) {
    const Bytes pixels(
        static_cast<size_t>(width) * static_cast<size_t>(height) * static_cast<size_t>(components), 100);
    return encode_jpeg(pixels.data(), width, height, components, options);
}

// A camera-sized pair as the largest cameras write: 40 megapixels a view.
constexpr int k40MpWidth = 7296, k40MpHeight = 5472;

// The most a composing tool may hold at once, whatever the picture: the
// tools keep a few rows of each picture, never a whole one.
constexpr long kStreamingPeakKiB = 8L * 1024;

// `jpeg` with `segment` inserted just before the last `marker` in it.
// Entropy-coded data never holds FF followed by a marker code, so the last
// FF `marker` is that marker.
Bytes insert_before_last(const Bytes& jpeg, int marker, const Bytes& inserted) {
    for (size_t at = jpeg.size() - 1; at-- > 0;) {
        if (jpeg[at] == 0xFF && jpeg[at + 1] == marker) {
            return concat({Bytes(jpeg.begin(), jpeg.begin() + static_cast<long>(at)), inserted,
                           Bytes(jpeg.begin() + static_cast<long>(at), jpeg.end())});
        }
    }
    throw std::runtime_error("no such marker");
}

}  // namespace

#if !defined(_WIN32)  // FIFOs, and devices reached through symlinks, are POSIX
// Directories, devices and pipes can be opened like files but are none; a
// FIFO with no writer must not stall the batch in the open itself.
TEST(BadArguments, ThingsThatAreNotRegularFilesAreRefusedAndTheBatchGoesOn) {
    ScratchDir dir;
    write_file(dir / "good.mpo", good_mpo());
    ASSERT_EQ(mkdir((dir / "folder.mpo").c_str(), 0755), 0);
    ASSERT_EQ(symlink("/dev/zero", (dir / "zero.mpo").c_str()), 0);
    ASSERT_EQ(symlink("/dev/null", (dir / "null.mpo").c_str()), 0);
    ASSERT_EQ(mkfifo((dir / "pipe.mpo").c_str(), 0644), 0);
    const auto inputs =
        record_inputs(in_dir(dir, {"good.mpo", "folder.mpo", "zero.mpo", "null.mpo", "pipe.mpo"}));

    for (const Tool& tool : kAllTools) {
        const pid_t releaser = start_fifo_releaser(dir / "pipe.mpo");
        const RunResult r = run_tool(
            tool.name, {"folder.mpo", "zero.mpo", "null.mpo", "pipe.mpo", "/dev/null", "good.mpo"}, dir.path);
        EXPECT_FALSE(fifo_was_waited_on(releaser)) << tool.name;

        EXPECT_EQ(r.status, 1) << tool.name;
        EXPECT_EQ(r.out, std::string(tool.banner) + "File folder.mpo is not a regular file\n" +
                             "File zero.mpo is not a regular file\n" +
                             "File null.mpo is not a regular file\n" +
                             "File pipe.mpo is not a regular file\n" +
                             "File /dev/null has not the right extension\n" + converted(tool, "good"))
            << tool.name;
        EXPECT_EQ(r.err, "") << tool.name;
        for (const char* stem : {"folder", "zero", "null", "pipe"}) {
            EXPECT_FALSE(any_output_exists(tool, dir, stem));
        }
        expect_inputs_unchanged(inputs);
    }
}
#endif

TEST(BadArguments, FilesOf2GiBAreRefusedByEveryTool) {
    ScratchDir dir;
    // A stereo file at the front, so that only the size can refuse it; the
    // rest is sparse (where the file system can) and takes no disk space.
    write_file(dir / "big.mpo", good_mpo());
    fs::resize_file(fs::u8path(dir / "big.mpo"), std::uintmax_t{2147483648});
    write_file(dir / "good.mpo", good_mpo());
    const auto inputs = record_inputs(in_dir(dir, {"big.mpo", "good.mpo"}));
    for (const Tool& tool : kAllTools) {
        const RunResult r = run_tool(tool.name, {"big.mpo", "good.mpo"}, dir.path);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, std::string(tool.banner) + "File big.mpo is too large\n" + converted(tool, "good"));
        EXPECT_FALSE(any_output_exists(tool, dir, "big")) << tool.name;
    }
    expect_inputs_unchanged(inputs);
}

// Damaged files, each followed by a good one. The splitter copies bytes and
// never decodes: it writes every located picture whose header segments lead
// to a frame and a scan, says which located starts are no picture and which
// pictures are cut short (status 0: warnings), and refuses a file in which it
// finds no picture; the composing tools either get a
// message, or decode with libjpeg's warning on standard error, or meet a
// fatal library error that ends the file. The batch goes on in every case,
// and no view is left staged in the temporary folder.
TEST(DamagedPictures, EachDamageHasItsOutcomeAndNoCrash) {
    const Bytes good = good_mpo();
    const std::vector<int32_t> starts = locate(good);
    ASSERT_EQ(starts.size(), 2u);
    const size_t right = static_cast<size_t>(starts[1]);
    size_t left_data = 0, left_data_length = 0, right_data = 0, right_data_length = 0;
    entropy_data(good, 0, right, &left_data, &left_data_length);
    entropy_data(good, right, good.size(), &right_data, &right_data_length);

    enum class Composed { kWithWarning, kNotTwoPictures, kFatal };
    struct Case {
        const char* stem;
        Bytes file;
        int split_pictures;     // how many pictures the splitter writes
        Composed composed;      // what the composing tools do
        std::string split_err;  // what the splitter says, after "brantelix: stem.mpo: "
        std::string err;        // the library's message(s) on standard error
        bool err_is_prefix;     // the rest of the message depends on the encoder's bytes
    };
    Bytes corrupted = good;
    for (size_t k = 0; k < 20; ++k) corrupted[left_data + left_data_length / 3 + k] ^= 0x5A;
    Bytes restarts = good;
    for (size_t k = 0; k < 20; ++k) {
        restarts[left_data + left_data_length / 2 + 2 * k] = 0xFF;
        restarts[left_data + left_data_length / 2 + 2 * k + 1] = 0xD0;
    }
    Bytes starts_only;
    for (int k = 0; k < 10000; ++k) {
        for (const unsigned char b : {0xFF, 0xD8, 0xFF, 0xD9}) starts_only.push_back(b);
    }
    const size_t right_dht = header_segment(good, right, 0xC4);
    const size_t right_sof = header_segment(good, right, 0xC0);
    const size_t left_dqt = header_segment(good, 0, 0xDB);
    const size_t left_app1 = header_segment(good, 0, 0xE1);
    const size_t right_app1 = header_segment(good, right, 0xE1);
    const size_t right_sos = header_segment(good, right, 0xDA);
    const auto cut_short = [](const char* which, const std::string& output) {
        return std::string("the ") + which +
               " picture is cut short (it ends before its end-of-image marker): " + output +
               " holds what there is";
    };
    const auto no_picture_at = [](size_t offset) {
        return "the bytes at offset " + std::to_string(offset) +
               " are not a JPEG picture (their header segments do not lead to a frame and a scan): not "
               "written";
    };
    const Case cases[] = {
        {"cut_right_data", Bytes(good.begin(), good.begin() + right_data + right_data_length / 2), 2,
         Composed::kWithWarning, cut_short("right", "cut_right_data_R.jpg"), "Premature end of JPEG file\n",
         false},
        {"cut_left_data", Bytes(good.begin(), good.begin() + left_data + left_data_length / 2), 1,
         Composed::kNotTwoPictures, cut_short("left", "cut_left_data_L.jpg"), "", false},
        {"cut_right_tables", Bytes(good.begin(), good.begin() + right_dht + 20), 1, Composed::kFatal,
         no_picture_at(right), "Premature end of JPEG file\nBogus Huffman table definition\n", false},
        {"cut_right_frame", Bytes(good.begin(), good.begin() + right_sof + 8), 1, Composed::kFatal,
         no_picture_at(right), "Premature end of JPEG file\nBogus marker length\n", false},
        {"flipped_bytes", corrupted, 2, Composed::kWithWarning, "", "Corrupt JPEG data: ", true},
        {"stray_markers", restarts, 2, Composed::kWithWarning, "",
         "Corrupt JPEG data: premature end of data segment\n", false},
        // Lengths in the header segments: below the two length bytes, beyond
        // the segment, beyond the end of the file.
        {"short_table", with_length(good, left_dqt, 1), 1, Composed::kFatal, no_picture_at(0),
         "Bogus marker length\n", false},
        {"short_frame", with_length(good, header_segment(good, 0, 0xC0), 5), 1, Composed::kFatal,
         no_picture_at(0), "Bogus marker length\n", false},
        {"long_table", with_length(good, left_dqt, segment_length(good, left_dqt) + 40), 1, Composed::kFatal,
         no_picture_at(0), "Bogus DQT index 15\n", false},
        // The locator can no longer step over the Exif thumbnail, and finds
        // it: the left picture is none, its thumbnail is taken for it.
        {"short_exif", with_length(good, left_app1, 1), 2, Composed::kFatal, no_picture_at(0),
         "Premature end of JPEG file\nJPEG datastream contains no image\n", false},
        // The locator steps over the right picture's start into its Exif
        // data, where it finds the right thumbnail instead.
        {"long_exif", with_length(good, left_app1, static_cast<int>(right - left_app1) + 100), 1,
         Composed::kFatal, no_picture_at(0),
         "Premature end of JPEG file\nJPEG datastream contains no image\n", false},
        {"exif_past_end", with_length(good, right_app1, 0xFFFF), 1, Composed::kFatal, no_picture_at(right),
         "Premature end of JPEG file\nJPEG datastream contains no image\n", false},
        {"tables_past_end", with_length(good, right_dht, 0xFFF0), 1, Composed::kFatal, no_picture_at(right),
         "Bogus Huffman table definition\n", false},
        {"scan_past_end", with_length(good, right_sos, 60000), 1, Composed::kFatal, no_picture_at(right),
         "Bogus marker length\n", false},
        // Pictures of nothing but a start and an end, none a picture; the
        // locator keeps 127 of them.
        {"starts", starts_only, 0, Composed::kFatal, "", "JPEG datastream contains no image\n", false},
        // Three bytes are not yet a picture.
        {"start_sequence", bytes({0xFF, 0xD8, 0xFF}), 0, Composed::kNotTwoPictures, "", "", false},
        {"empty", Bytes(), 0, Composed::kNotTwoPictures, "", "", false},
    };

    ScratchDir temporary;
    RunOptions staged_in_temporary;
    staged_in_temporary.env = {"TMPDIR=" + temporary.path, "TMP=" + temporary.path, "TEMP=" + temporary.path};
    for (const Case& c : cases) {
        ScratchDir dir;
        const std::string bad = std::string(c.stem) + ".mpo";
        write_file(dir / bad, c.file);
        write_file(dir / "next.mpo", good);
        const auto inputs = record_inputs(in_dir(dir, {bad, "next.mpo"}));
        for (const Tool& tool : kAllTools) {
            const RunResult r = run_tool(tool.name, {bad, "next.mpo"}, dir.path, staged_in_temporary);
            SCOPED_TRACE(std::string(c.stem) + " " + tool.name);
            EXPECT_LT(r.status, 128) << "crashed: " << r.err;
            if (is_splitter(tool)) {
                const bool none = c.split_pictures == 0;
                EXPECT_EQ(r.status, none ? 1 : 0);
                EXPECT_EQ(r.out,
                          tool.banner + converted(tool, c.stem, c.split_pictures) + converted(tool, "next"));
                EXPECT_EQ(r.err, none                  ? diagnostics(tool, bad, {"no JPEG picture found"})
                                 : c.split_err.empty() ? ""
                                                       : diagnostics(tool, bad, {c.split_err}));
                remove_outputs(tool, dir, c.stem, c.split_pictures);
                remove_outputs(tool, dir, "next");
                continue;
            }
            const std::string output = dir / outputs_of(tool, c.stem)[0];
            switch (c.composed) {
                case Composed::kWithWarning: {
                    EXPECT_EQ(r.status, 0);
                    EXPECT_EQ(r.out, tool.banner + converted(tool, c.stem) + converted(tool, "next"));
                    // The damaged part is filled in: the picture keeps its size.
                    EXPECT_EQ(decode(read_file(output)).height, static_cast<unsigned>(kGoodHeight));
                    break;
                }
                case Composed::kNotTwoPictures:
                    EXPECT_EQ(r.status, 1);
                    EXPECT_EQ(r.out, tool.banner + ("File " + bad) + " does not contain two pictures\n" +
                                         converted(tool, "next"));
                    EXPECT_FALSE(file_exists(output));
                    break;
                case Composed::kFatal:
                    // A damaged header is met before the output is announced.
                    EXPECT_EQ(r.status, 1);
                    EXPECT_EQ(r.out, tool.banner + converted(tool, "next"));
                    EXPECT_FALSE(file_exists(output));
                    break;
            }
            // Each of the library's messages names the tool and the file.
            std::string err;
            for (size_t line = 0; line < c.err.size();) {
                const size_t end = std::min(c.err.find('\n', line), c.err.size() - 1) + 1;
                err += std::string(tool.name) + ": " + bad + ": " + c.err.substr(line, end - line);
                line = end;
            }
            if (c.err_is_prefix) {
                EXPECT_EQ(r.err.compare(0, err.size(), err), 0) << r.err;
            } else {
                EXPECT_EQ(r.err, err);
            }
            EXPECT_TRUE(file_exists(dir / outputs_of(tool, "next")[0])) << "the batch goes on";
            remove_outputs(tool, dir, c.stem);
            remove_outputs(tool, dir, "next");
        }
        expect_inputs_unchanged(inputs);
    }
    EXPECT_TRUE(fs::is_empty(fs::u8path(temporary.path))) << "a view was left staged";
}

// mpojoin refuses a pair by the name of the picture at fault, with the
// reason, on standard error, writes nothing for it (an older output of its
// name stays as it was), joins the others and ends with status 1; under
// valgrind, where it runs, without a leak on any of these ways out.
TEST(Joiner, RefusesEachBadPairByNameAndJoinsTheOthers) {
    const Bytes good = good_mpo();
    const size_t right = static_cast<size_t>(locate(good)[1]);
    const Bytes left_picture(good.begin(), good.begin() + ptrdiff_t(right));
    const Bytes right_picture(good.begin() + ptrdiff_t(right), good.end());
    const size_t left_data = header_segment(good, 0, 0xDA) + 20;
    const struct {
        std::string stem;  // the pair is stem_L.jpg and stem_R.jpg, the MPO file stem.mpo
        Bytes left, right;
        std::string err;  // "" when joined
    } cases[] = {
        {"good", left_picture, right_picture, ""},
        {"named", left_picture, right_picture, "named.jpg: not a left picture: the name must end in _L.jpg"},
        {"lonely", left_picture, {}, "lonely_R.jpg: No such file or directory"},
        {"folder", left_picture, {}, "folder_R.jpg: not a regular file"},
        {"text", bytes({'h', 'i', '\n'}), right_picture, "text_L.jpg: not a JPEG picture"},
        {"header", left_picture, Bytes(right_picture.begin(), right_picture.begin() + 30),
         "header_R.jpg: not a JPEG picture: its header segments do not lead to a frame and a scan"},
        {"cut", Bytes(left_picture.begin(), left_picture.begin() + ptrdiff_t(left_data)), right_picture,
         "cut_L.jpg: a JPEG picture cut short: it ends before its end-of-image marker"},
        {"blocked", left_picture, right_picture, std::string("blocked.mpo: ") + kFolderOpenedAsFile},
    };
    ScratchDir dir;
    std::vector<std::string> args;
    std::string out = kJoin.banner, err;
    for (const auto& c : cases) {
        const std::string left_name = c.stem == "named" ? "named.jpg" : c.stem + "_L.jpg";
        args.push_back(left_name);
        write_file(dir / left_name, c.left);
        if (!c.right.empty()) write_file(dir / (c.stem + "_R.jpg"), c.right);
        if (c.stem != "good") write_file(dir / (c.stem + ".mpo"), bytes({'o', 'l', 'd'}));
        if (!c.err.empty()) err += "mpojoin: " + c.err + "\n";
        if (c.err.empty()) out += writing(c.stem + ".mpo");
    }
    // An upper-case extension is taken, and kept for the right picture.
    write_file(dir / "CAPS_L.JPG", left_picture);
    write_file(dir / "CAPS_R.JPG", right_picture);
    args.emplace_back("CAPS_L.JPG");
    out += "Error opening output jpeg file blocked.mpo\n!" + writing("CAPS.mpo");
    (void)remove((dir / "blocked.mpo").c_str());
    ASSERT_TRUE(fs::create_directory(fs::u8path(dir / "blocked.mpo")));
    ASSERT_TRUE(fs::create_directory(fs::u8path(dir / "folder_R.jpg")));
    const auto inputs = record_inputs(in_dir(dir, args));

    RunOptions options;
    if (!std::string(LEAK_CHECKER).empty()) {
        options.wrapper = {LEAK_CHECKER, "-q", "--leak-check=full",
                           "--errors-for-leak-kinds=definite,indirect,possible", "--error-exitcode=99"};
    }
    const RunResult r = run_tool(kJoin.name, args, dir.path, options);
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_EQ(r.out, out);
    EXPECT_EQ(r.err, err);
    for (const auto& c : cases) {
        if (c.stem == "good" || c.stem == "blocked") continue;
        EXPECT_EQ(read_file(dir / (c.stem + ".mpo")), bytes({'o', 'l', 'd'})) << c.stem;
    }
    EXPECT_TRUE(file_exists(dir / "good.mpo"));
    EXPECT_TRUE(file_exists(dir / "CAPS.mpo"));
    expect_inputs_unchanged(inputs);
}

// A fatal library error inside a view's data is met while rows are being
// written, after the output was announced and created: the library's message,
// the unfinished output removed before the next file is begun (whose own
// output then takes the watch that removes an interrupted one), status 1,
// and the rest of the batch converted. A progressive view's later scans are
// read before its first row, a baseline view's trailing segments after its
// last one.
TEST(DamagedPictures, FatalErrorInTheMiddleOfEitherView) {
    // A Huffman table segment of the right length whose table number is bogus.
    const Bytes bogus_table = concat({bytes({0xFF, 0xC4, 0x00, 0x13, 0x07}), Bytes(16, 0)});
    JpegOptions progressive;
    progressive.progressive = true;
    const std::vector<unsigned char> left = render_view(kGoodWidth, kGoodHeight, 0);
    const std::vector<unsigned char> right = render_view(kGoodWidth, kGoodHeight, 1);
    const auto view = [&](const std::vector<unsigned char>& pixels, const JpegOptions& options) {
        return encode_jpeg(pixels.data(), kGoodWidth, kGoodHeight, 3, options);
    };
    const auto before_last_scan = [&](const Bytes& jpeg) {
        return insert_before_last(jpeg, 0xDA, bogus_table);
    };
    const auto before_end = [&](const Bytes& jpeg) { return insert_before_last(jpeg, 0xD9, bogus_table); };
    const struct {
        const char* stem;
        Bytes file;
    } cases[] = {
        {"left_progressive", concat({before_last_scan(view(left, progressive)), view(right, progressive)})},
        {"right_progressive", concat({view(left, progressive), before_last_scan(view(right, progressive))})},
        {"left_baseline", concat({before_end(view(left, JpegOptions())), view(right, JpegOptions())})},
        {"right_baseline", concat({view(left, JpegOptions()), before_end(view(right, JpegOptions()))})},
    };
    ScratchDir dir;
    write_file(dir / "next.mpo", good_mpo());
    for (const auto& c : cases) {
        const std::string name = std::string(c.stem) + ".mpo";
        write_file(dir / name, c.file);
        const auto inputs = record_inputs(in_dir(dir, {name, "next.mpo"}));
        for (const Tool& tool : kComposing) {
            SCOPED_TRACE(name + " " + tool.name);
            const RunResult r = run_tool(tool.name, {name, "next.mpo"}, dir.path);
            EXPECT_EQ(r.status, 1);
            EXPECT_EQ(r.out, tool.banner + converted(tool, c.stem) + converted(tool, "next"));
            EXPECT_EQ(r.err, diagnostics(tool, name, {"Bogus DHT index 7"}));
            EXPECT_FALSE(any_output_exists(tool, dir, c.stem));
            EXPECT_EQ(decode(read_file(dir / outputs_of(tool, "next")[0])).height,
                      static_cast<unsigned>(kGoodHeight));
            remove_outputs(tool, dir, "next");
        }
        expect_inputs_unchanged(inputs);
    }
}

// A few hundred bytes whose views declare 65500 x 65500 pixels: refused
// before the decoder allocates anything of that size, so the tool stays
// small, and the next argument is converted.
TEST(DecompressionBombs, AreRefusedBeforeAnythingOfTheirSizeIsAllocated) {
    if (!bombs_are_refused()) GTEST_SKIP() << "this machine could hold such pictures";
    // Far more than a tool needs for the small good file, far less than a
    // single row band of the declared picture plus its raster.
    constexpr long kSmallPeakKiB = 200L * 1024;

    const std::vector<unsigned char> small = render_view(8, 8, 0);
    const Bytes small_jpeg = encode_jpeg(small.data(), 8, 8, 3, JpegOptions());
    struct Bomb {
        const char* stem;
        Bytes file;
    };
    std::vector<Bomb> bombs = {
        {"baseline", concat({bomb_view(0, false), bomb_view(1, false)})},
        {"progressive", concat({bomb_view(0, true), bomb_view(1, true)})},
        {"right_only", concat({small_jpeg, bomb_view(1, false)})},
    };
    if (middling_bomb_height() > 0) {
        bombs.push_back({"middling", concat({bomb_view(0, false, middling_bomb_height()), small_jpeg})});
    }
    ScratchDir dir;
    write_file(dir / "good.mpo", good_mpo());
    std::vector<std::string> names = {"good.mpo"};
    for (const Bomb& bomb : bombs) {
        EXPECT_LT(bomb.file.size(), 2000u);
        names.push_back(std::string(bomb.stem) + ".mpo");
        write_file(dir / names.back(), bomb.file);
    }
    const auto inputs = record_inputs(in_dir(dir, names));
    for (const Tool& tool : kComposing) {
        for (const Bomb& bomb : bombs) {
            const std::string name = std::string(bomb.stem) + ".mpo";
            long peak_kib = 0;
            const RunResult r = have_peak_memory()
                                    ? run_measured(tool, {name, "good.mpo"}, dir.path, &peak_kib)
                                    : run_tool(tool.name, {name, "good.mpo"}, dir.path);
            SCOPED_TRACE(name + " " + tool.name);
            EXPECT_EQ(r.status, 1);
            EXPECT_EQ(r.out,
                      tool.banner + ("Not enough memory for file " + name + "\n") + converted(tool, "good"));
            EXPECT_EQ(r.err, "");
            EXPECT_LT(peak_kib, kSmallPeakKiB);  // 0 where it is not measured
            EXPECT_FALSE(any_output_exists(tool, dir, bomb.stem));
        }
    }
    expect_inputs_unchanged(inputs);
}

// Every refusal is decided from the two headers, before anything of the
// views is decoded. Progressive views show it: decoding one begins by
// holding all its coefficients (tens of megabytes here), so a tool that
// refuses them stays as small as it is for a tiny file.
TEST(DecompressionBombs, RefusalsAreDecidedBeforeAnythingIsDecoded) {
#if defined(TOOLS_SANITIZED)
    GTEST_SKIP() << "the sanitizer's own memory hides the tools'";
#endif
    if (!have_peak_memory()) GTEST_SKIP() << kNoPeakMemory;
    JpegOptions progressive;
    progressive.progressive = true;
    const Bytes view = flat_view(4000, 3000, 3, progressive);
    const Bytes grey = flat_view(4000, 3000, 1, progressive);
    const Bytes wide = flat_view(32751, 400, 3, progressive);
    const struct {
        const char* stem;
        Bytes file;
        std::string message;
        bool jps_only;
    } cases[] = {
        {"sizes", concat({view, flat_view(4000, 2999, 3, progressive)}), "has views of different sizes",
         false},
        {"grey", concat({grey, grey}), "has views that are not RGB", false},
        {"wide", concat({wide, wide}), "is too wide for a side-by-side picture", true},
    };
    ScratchDir dir;
    for (const auto& c : cases) {
        const std::string name = std::string(c.stem) + ".mpo";
        write_file(dir / name, c.file);
        for (const Tool& tool : kComposing) {
            if (c.jps_only && std::string(tool.name) != "vostrin") continue;
            SCOPED_TRACE(name + " " + tool.name);
            long peak_kib = 0;
            const RunResult r = run_measured(tool, {name}, dir.path, &peak_kib);
            EXPECT_EQ(r.status, 1);
            EXPECT_EQ(r.out, tool.banner + ("File " + name + " " + c.message + "\n"));
            EXPECT_LT(peak_kib, kStreamingPeakKiB);
        }
    }
}

#if !defined(_WIN32)  // the full disk is /dev/full, reached through a symlink
// An output that cannot be written (a full disk) is a fatal library error
// that ends its file: what it had written is removed, so no truncated
// picture remains that looks like a finished one, and the batch goes on.
// Both a picture that fails while it is written and one whose bytes all fit
// the buffers until the library flushes them at its end (the library checks
// that flush itself, so the tools' own check of the close is not what
// catches it: see FailedClose).
TEST(DiskFull, ComposingToolsGiveUpTheFileLeaveNoOutputAndGoOn) {
    ScratchDir dir;
    write_file(dir / "small.mpo", good_mpo());
    write_file(dir / "large.mpo", garden_mpo(320, 240).file);
    write_file(dir / "next.mpo", good_mpo());
    const auto inputs = record_inputs(in_dir(dir, {"small.mpo", "large.mpo", "next.mpo"}));
    for (const Tool& tool : kComposing) {
        for (const char* stem : {"small", "large"}) {
            const std::string output = outputs_of(tool, stem)[0];
            ASSERT_EQ(symlink("/dev/full", (dir / output).c_str()), 0);
            const RunResult r = run_tool(tool.name, {std::string(stem) + ".mpo", "next.mpo"}, dir.path);
            EXPECT_EQ(r.status, 1) << tool.name << " " << stem;
            EXPECT_EQ(r.out, tool.banner + writing(output) + converted(tool, "next"));
            EXPECT_EQ(r.err, diagnostics(tool, std::string(stem) + ".mpo",
                                         {"Output file write error --- out of disk space?"}));
            EXPECT_FALSE(file_exists(dir / output)) << tool.name << " " << stem;
            EXPECT_TRUE(file_exists(dir / outputs_of(tool, "next")[0]));
            remove_outputs(tool, dir, "next");
        }
    }
    expect_inputs_unchanged(inputs);
}
#endif

// A file system may report the loss of the last bytes only when the file is
// closed. The output is then reported and removed, and the batch goes on.
TEST(FailedClose, OutputIsReportedAndRemoved) {
    if (!have_fault_injection()) GTEST_SKIP() << kNoFaultInjection;
    ScratchDir dir;
    write_file(dir / "x.mpo", good_mpo());
    write_file(dir / "y.mpo", good_mpo());
    const auto inputs = record_inputs(in_dir(dir, {"x.mpo", "y.mpo"}));
    for (const Tool& tool : kAllTools) {
        SCOPED_TRACE(tool.name);
        const RunResult r =
            run_tool(tool.name, {"x.mpo", "y.mpo"}, dir.path, with_faults({"FAULT_CLOSE_OUTPUTS=1"}));
        EXPECT_EQ(r.status, 1);
        std::string out = tool.banner, err;
        for (const char* stem : {"x", "y"}) {
            for (const std::string& name : outputs_of(tool, stem)) {
                out += writing(name) + "Error writing output file " + name + "\n";
                err += diagnostics(tool, name, {"Input/output error"});
                EXPECT_FALSE(file_exists(dir / name)) << name;
            }
        }
        EXPECT_EQ(r.out, out);
        EXPECT_EQ(r.err, err);
        expect_reasons_first(tool, {"x.mpo", "y.mpo"}, dir.path, with_faults({"FAULT_CLOSE_OUTPUTS=1"}));
    }
    expect_inputs_unchanged(inputs);
}

// An output that cannot be created (a folder or a FIFO without a reader has
// its name, its folder is read-only) is reported, after its announcement by
// the composing tools, with the reason on standard error; the tool goes on
// with the next output and ends with status 1.
TEST(BlockedOutputs, AreReportedAndSkipped) {
    ScratchDir dir;
    struct Blocked {
        std::string stem;
        std::string reason;
    };
    std::vector<Blocked> blocked = {{"folder", kFolderOpenedAsFile}};
    RunOptions options;
#if !defined(_WIN32)  // FIFOs, and permissions as another user, are POSIX
    blocked.push_back({"fifo", "No such device or address"});
    const std::string why_not = why_permissions_do_not_apply();
    open_to_everyone(dir);
    ASSERT_EQ(mkdir((dir / "locked").c_str(), 0755), 0);
    write_file(dir / "locked/a.mpo", good_mpo());
    ASSERT_EQ(chmod((dir / "locked").c_str(), 0555), 0);
    if (why_not.empty()) {
        blocked.push_back({"locked/a", "Permission denied"});
        options = unprivileged();
    } else {
        printf("the read-only folder is not tried: %s\n", why_not.c_str());
    }
#endif
    std::vector<std::string> args;
    args.reserve(blocked.size() + 1);
    for (const Blocked& b : blocked) args.push_back(b.stem + ".mpo");
    args.emplace_back("ok.mpo");
    for (const std::string& name : args) {
        if (!file_exists(dir / name)) write_file(dir / name, good_mpo());
    }
    const auto inputs = record_inputs(in_dir(dir, args));

    for (const Tool& tool : kAllTools) {
        SCOPED_TRACE(tool.name);
        // In each blocked file, the first output is in the way (in the read-only
        // folder all of them are).
        const std::string folder = outputs_of(tool, "folder")[0];
        ASSERT_TRUE(fs::create_directory(fs::u8path(dir / folder)));
#if !defined(_WIN32)
        const std::string fifo = outputs_of(tool, "fifo")[0];
        ASSERT_EQ(mkfifo((dir / fifo).c_str(), 0666), 0);
        ASSERT_EQ(chmod((dir / fifo).c_str(), 0666), 0);  // whatever the umask: not refused for permissions
#endif
        std::string out = tool.banner, err;
        for (const Blocked& b : blocked) {
            const std::vector<std::string> names = outputs_of(tool, b.stem);
            for (size_t k = 0; k < names.size(); ++k) {
                const bool in_the_way = k == 0 || b.stem == "locked/a";
                if (!is_splitter(tool) || !in_the_way) out += writing(names[k]);
                if (!in_the_way) continue;
                out += "Error opening output jpeg file " + names[k] + "\n!";
                err += diagnostics(tool, names[k], {b.reason});
            }
        }
        const RunResult r = run_tool(tool.name, args, dir.path, options);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, out + converted(tool, "ok"));
        EXPECT_EQ(r.err, err);
        expect_reasons_first(tool, args, dir.path, options);
        EXPECT_FALSE(any_output_exists(tool, dir, "locked/a"));
        EXPECT_TRUE(file_exists(dir / outputs_of(tool, "ok")[0]));
        remove_outputs(tool, dir, "ok");
        remove_outputs(tool, dir, "folder");
        remove_outputs(tool, dir, "fifo");
        fs::remove(fs::u8path(dir / folder));
        expect_inputs_unchanged(inputs);
    }
}

// An input that cannot be opened (missing, a dangling link, unreadable) ends
// the run there with status 255 and the rest of the arguments untouched;
// standard error says why. The input is opened before its extension is
// looked at.
TEST(BadArguments, InputThatCannotBeOpenedStopsTheRun) {
    ScratchDir dir;
    std::vector<std::string> inputs = {"a.mpo", "c.mpo"};
    struct Case {
        std::string name;
        std::string reason;
        RunOptions options;
    };
    std::vector<Case> cases = {{"missing.mpo", "No such file or directory", RunOptions()},
                               {"missing.txt", "No such file or directory", RunOptions()}};
#if !defined(_WIN32)  // dangling symlinks, and permissions as another user, are POSIX
    const std::string why_not = why_permissions_do_not_apply();
    open_to_everyone(dir);
    write_file(dir / "secret.mpo", good_mpo());
    ASSERT_EQ(chmod((dir / "secret.mpo").c_str(), 0), 0);
    ASSERT_EQ(symlink("gone.mpo", (dir / "dangling.mpo").c_str()), 0);
    inputs.insert(inputs.end(), {"secret.mpo", "dangling.mpo"});
    cases.push_back({"dangling.mpo", "No such file or directory", RunOptions()});
    if (why_not.empty()) {
        cases.push_back({"secret.mpo", "Permission denied", unprivileged()});
    } else {
        printf("the unreadable input is not tried: %s\n", why_not.c_str());
    }
#endif
    for (const char* name : {"a.mpo", "c.mpo"}) write_file(dir / name, good_mpo());
    const auto recorded = record_inputs(in_dir(dir, inputs));
    for (const Case& c : cases) {
        for (const Tool& tool : kAllTools) {
            SCOPED_TRACE(c.name + " " + tool.name);
            const RunResult r = run_tool(tool.name, {"a.mpo", c.name, "c.mpo"}, dir.path, c.options);
            EXPECT_EQ(r.status, 255);
            EXPECT_EQ(r.out, tool.banner + converted(tool, "a") + "Error when reading file\n");
            EXPECT_EQ(r.err, diagnostics(tool, c.name, {c.reason}));
            EXPECT_FALSE(any_output_exists(tool, dir, "c")) << "the rest of the batch is left alone";
            expect_reasons_first(tool, {"a.mpo", c.name, "c.mpo"}, dir.path, c.options);
            remove_outputs(tool, dir, "a");
        }
    }
    expect_inputs_unchanged(recorded);
}

// Runs `tool` on x.mpo and y.mpo in `dir` with fault N of the kind that
// `variable` selects, for N = 1, 2, ... until the fault no longer falls in
// x.mpo. Each one within x.mpo must refuse x.mpo alone with `message`; the
// next must refuse y.mpo the same way after x.mpo converted. `reason` is
// what standard error says about the refused file, if anything. Returns how
// many faults fell in x.mpo.
int fail_each_call_in_turn(const Tool& tool, const ScratchDir& dir, const std::vector<std::string>& settings,
                           const std::string& variable, const std::string& message,
                           const std::string& reason = "") {
    constexpr int kMostCallsPerFile = 10;
    int calls_in_x = 0;
    for (int call = 1; call <= kMostCallsPerFile + 1; ++call) {
        std::vector<std::string> env = settings;
        env.push_back(variable + "=" + std::to_string(call));
        const RunResult r = run_tool(tool.name, {"x.mpo", "y.mpo"}, dir.path, with_faults(env));
        SCOPED_TRACE(std::string(tool.name) + " " + variable + "=" + std::to_string(call));
        EXPECT_EQ(r.status, 1);
        const bool in_x = r.out == tool.banner + (message + "x.mpo\n") + converted(tool, "y");
        EXPECT_EQ(r.err, reason.empty() ? "" : diagnostics(tool, in_x ? "x.mpo" : "y.mpo", {reason}));
        remove_outputs(tool, dir, "y");
        if (in_x) {
            ++calls_in_x;
            EXPECT_FALSE(any_output_exists(tool, dir, "x")) << "nothing is written for a refused file";
            continue;
        }
        EXPECT_EQ(r.out, tool.banner + converted(tool, "x") + message + "y.mpo\n");
        EXPECT_FALSE(any_output_exists(tool, dir, "y"));
        remove_outputs(tool, dir, "x");
        break;
    }
    EXPECT_LE(calls_in_x, kMostCallsPerFile) << tool.name;
    return calls_in_x;
}

// Each view is staged through a temporary file of its own; whichever cannot
// be created refuses its file alone.
TEST(InjectedFaults, TemporaryFileThatCannotBeCreated) {
    if (!have_fault_injection()) GTEST_SKIP() << kNoFaultInjection;
    ScratchDir dir;
    write_file(dir / "x.mpo", good_mpo());
    write_file(dir / "y.mpo", good_mpo());
    const auto inputs = record_inputs(in_dir(dir, {"x.mpo", "y.mpo"}));
    for (const Tool& tool : kComposing) {
        EXPECT_EQ(
            fail_each_call_in_turn(tool, dir, {}, "FAULT_TMPFILE_FAIL", "Error creating temporary file for ",
                                   "cannot stage a view in a temporary file: No space left on device"),
            2)
            << tool.name;
        expect_reasons_first(tool, {"x.mpo", "y.mpo"}, dir.path, with_faults({"FAULT_TMPFILE_FAIL=1"}));
        remove_outputs(tool, dir, "y");
    }
    expect_inputs_unchanged(inputs);
}

// The tools' own buffers fail one at a time: the copy buffer, then (in the
// composing tools) the groups of rows of each view and of the output. In
// pictures this wide each group takes 96000 bytes, more than any block of
// libjpeg's own working memory or of the C++ runtime; this tall, each
// picture is larger than the limit too, and so is the buffer that stages it.
TEST(InjectedFaults, MemoryThatCannotBeHad) {
    if (!have_fault_injection()) GTEST_SKIP() << kNoFaultInjection;
    constexpr int kWidth = 2000, kHeight = 400;
    const std::vector<std::string> limit = {"FAULT_ALLOC_LIMIT=80000"};
    ScratchDir dir;
    write_file(dir / "x.mpo", garden_mpo(kWidth, kHeight).file);
    write_file(dir / "y.mpo", garden_mpo(kWidth, kHeight).file);
    const auto inputs = record_inputs(in_dir(dir, {"x.mpo", "y.mpo"}));
    for (const Tool& tool : kAllTools) {
        const int calls =
            fail_each_call_in_turn(tool, dir, limit, "FAULT_ALLOC_FAIL", "Not enough memory for file ");
        EXPECT_EQ(calls, is_splitter(tool) ? 1 : 4) << tool.name;
    }
    expect_inputs_unchanged(inputs);
}

#if !defined(_WIN32)  // valgrind, and FIFOs and device symlinks among the files
// One run of each tool over files of every kind: converted, refused for each
// reason, failing to open their output, and last an input that cannot be
// opened. valgrind reports any leak or memory error through its exit status.
TEST(WholeBatches, LeaveNoLeakWhateverHappensToEachFile) {
    if (std::string(LEAK_CHECKER).empty()) {
        GTEST_SKIP() << "valgrind is absent, or the tools carry a sanitizer";
    }
    constexpr int kLeakFound = 99;
    ScratchDir dir;
    JpegOptions progressive, full_chroma;
    progressive.progressive = true;
    full_chroma.h_samp = full_chroma.v_samp = 1;
    write_file(dir / "good1.mpo", garden_mpo(16, 12).file);
    write_file(dir / "good2.mpo", garden_mpo(33, 17).file);
    write_file(dir / "good3.mpo", garden_mpo(20, 20, progressive).file);
    write_file(dir / "good4.mpo", garden_mpo(9, 31, full_chroma).file);
    write_file(dir / "good5.mpo", concat({good_mpo(), Bytes(100, 0x20)}));
    write_file(dir / "good6.mpo", good_mpo());
    write_file(dir / "one.mpo", camera_picture(12, 8, 0));
    write_file(dir / "sizes.mpo", concat({camera_picture(12, 8, 0), camera_picture(12, 9, 1)}));
    write_file(dir / "grey.mpo", concat({camera_picture(12, 8, 0, 1), camera_picture(12, 8, 1, 1)}));
    constexpr int kTooWide = 32751;  // one pixel more than vostrin's widest view
    const Bytes wide_row(size_t{kTooWide} * 3, 128);
    const Bytes wide_view = encode_jpeg(wide_row.data(), kTooWide, 1, 3, JpegOptions());
    write_file(dir / "wide.mpo", concat({wide_view, wide_view}));
    write_file(dir / "empty.mpo", Bytes());
    write_file(dir / "start.mpo", bytes({0xFF, 0xD8, 0xFF}));
    const Bytes good = good_mpo();
    write_file(dir / "cut.mpo", Bytes(good.begin(), good.end() - 200));
    Bytes corrupted = good;
    for (size_t k = 0; k < 16; ++k) corrupted[corrupted.size() - 400 + k] ^= 0x33;
    write_file(dir / "corrupt.mpo", corrupted);
    // Fatal library errors, in a header and in the middle of the data: the
    // jump back from the library skips no release.
    const size_t right = static_cast<size_t>(locate(good)[1]);
    write_file(dir / "header.mpo", with_length(good, header_segment(good, right, 0xC0), 5));
    const Bytes bogus_table = concat({bytes({0xFF, 0xC4, 0x00, 0x13, 0x07}), Bytes(16, 0)});
    write_file(dir / "data.mpo", insert_before_last(good, 0xD9, bogus_table));
    write_file(dir / "x.jpg", good);
    ASSERT_EQ(mkdir((dir / "folder.mpo").c_str(), 0755), 0);
    ASSERT_EQ(mkfifo((dir / "pipe.mpo").c_str(), 0644), 0);
    ASSERT_EQ(symlink("/dev/null", (dir / "null.mpo").c_str()), 0);
    FILE* big = fopen((dir / "big.mpo").c_str(), "wb");
    ASSERT_NE(big, nullptr);
    ASSERT_EQ(ftruncate(fileno(big), 2147483648LL), 0);
    ASSERT_EQ(fclose(big), 0);
    write_file(dir / "blocked.mpo", good);
    std::vector<std::string> args = {"good1.mpo", "good2.mpo",  "good3.mpo",  "good4.mpo",   "good5.mpo",
                                     "good6.mpo", "one.mpo",    "sizes.mpo",  "grey.mpo",    "wide.mpo",
                                     "empty.mpo", "start.mpo",  "cut.mpo",    "corrupt.mpo", "header.mpo",
                                     "data.mpo",  "x.jpg",      "folder.mpo", "pipe.mpo",    "null.mpo",
                                     "big.mpo",   "blocked.mpo"};
    // The bomb only where it is refused; elsewhere it would be decoded, slowly.
    const bool with_bomb = bombs_are_refused();
    if (with_bomb) {
        write_file(dir / "bomb.mpo", concat({bomb_view(0, true), bomb_view(1, true)}));
        args.emplace_back("bomb.mpo");
    }
    std::vector<std::string> inputs = args;
    args.emplace_back("missing.mpo");
    const auto recorded = record_inputs(in_dir(dir, inputs));

    for (const char* name : {"blocked_L.jpg", "blocked_dub.jpg", "blocked_ana.jpg", "blocked.jps"}) {
        ASSERT_EQ(mkdir((dir / name).c_str(), 0755), 0);
    }

    RunOptions valgrind;
    // libjpeg-turbo's vector code loads whole vectors of which only some
    // lanes hold picture data, which memcheck reports as a use of
    // uninitialised memory inside the library (for a 9-pixel-wide picture
    // here); its portable code takes the same decisions and is checked
    // instead. The outputs of the vector code are checked byte for byte by
    // the other suites.
    valgrind.env = {"JSIMD_FORCENONE=1"};
    valgrind.wrapper = {LEAK_CHECKER,
                        "-q",
                        "--leak-check=full",
                        "--show-leak-kinds=definite,indirect,possible",
                        "--errors-for-leak-kinds=definite,indirect,possible",
                        "--error-exitcode=" + std::to_string(kLeakFound)};
    for (const Tool& tool : kAllTools) {
        const bool split = is_splitter(tool);
        const auto refusal = [&](const char* stem, const char* message) {
            return split ? converted(tool, stem) : "File " + std::string(stem) + ".mpo " + message + "\n";
        };
        std::string expected = tool.banner;
        for (const char* stem : {"good1", "good2", "good3", "good4", "good5", "good6"}) {
            expected += converted(tool, stem);
        }
        expected += split ? converted(tool, "one", 1) : refusal("one", "does not contain two pictures");
        expected += refusal("sizes", "has views of different sizes");
        expected += refusal("grey", "has views that are not RGB");
        expected += std::string(tool.name) == "vostrin"
                        ? refusal("wide", "is too wide for a side-by-side picture")
                        : converted(tool, "wide");
        for (const char* stem : {"empty", "start"}) {
            if (!split) expected += refusal(stem, "does not contain two pictures");
        }
        expected += converted(tool, "cut") + converted(tool, "corrupt");
        // The splitter leaves out the right picture, whose frame header is cut.
        expected += split ? converted(tool, "header", 1) + converted(tool, "data")
                          : writing(outputs_of(tool, "data")[0]);
        expected += "File x.jpg has not the right extension\n";
        for (const char* stem : {"folder", "pipe", "null"}) {
            expected += "File " + std::string(stem) + ".mpo is not a regular file\n";
        }
        expected += "File big.mpo is too large\n";
        const std::string blocked = outputs_of(tool, "blocked")[0];
        expected += (split ? "" : writing(blocked)) + "Error opening output jpeg file " + blocked + "\n!";
        if (split) expected += writing(outputs_of(tool, "blocked")[1]);
        if (with_bomb) expected += split ? converted(tool, "bomb") : "Not enough memory for file bomb.mpo\n";
        expected += "Error when reading file\n";

        const pid_t releaser = start_fifo_releaser(dir / "pipe.mpo");
        const RunResult r = run_tool(tool.name, args, dir.path, valgrind);
        EXPECT_FALSE(fifo_was_waited_on(releaser)) << tool.name;
        EXPECT_EQ(r.status, 255) << tool.name << "\n" << r.err;
        EXPECT_EQ(r.err.find("lost"), std::string::npos) << r.err;
        EXPECT_EQ(r.out, expected);
        expect_inputs_unchanged(recorded);
    }
}
#endif

// A batch holds one file's memory at a time: a dozen copies of a file peak
// where one does, within what the allocator keeps between files.
TEST(WholeBatches, PeakMemoryIsThatOfTheLargestFileNotTheSum) {
#if defined(TOOLS_SANITIZED)
    GTEST_SKIP() << "the sanitizer keeps freed memory in quarantine";
#endif
    if (!have_peak_memory()) GTEST_SKIP() << kNoPeakMemory;
    constexpr int kCopies = 12;
    constexpr double kAllowedGrowth = 1.3;
    ScratchDir dir;
    const Bytes file = garden_mpo(1600, 1200).file;
    std::vector<std::string> batch;
    for (int k = 0; k < kCopies; ++k) {
        batch.push_back("copy" + std::to_string(k) + ".mpo");
        write_file(dir / batch.back(), file);
    }
    const auto inputs = record_inputs(in_dir(dir, batch));
    for (const Tool& tool : kAllTools) {
        long single_kib = 0, many_kib = 0;
        EXPECT_EQ(run_measured(tool, {batch[0]}, dir.path, &single_kib).status, 0);
        EXPECT_EQ(run_measured(tool, batch, dir.path, &many_kib).status, 0);
        EXPECT_LT(many_kib, kAllowedGrowth * single_kib)
            << tool.name << ": one file " << single_kib << " KiB, " << kCopies << " files " << many_kib
            << " KiB";
    }
    expect_inputs_unchanged(inputs);
}

// The composing tools hold a few rows of each picture at a time: a 40
// megapixel pair takes no more memory than a small one.
TEST(WholeBatches, PeakMemoryStaysSmallAtAnyPictureSize) {
#if defined(TOOLS_SANITIZED)
    GTEST_SKIP() << "the sanitizer's own memory hides the tools'";
#endif
    if (!have_peak_memory()) GTEST_SKIP() << kNoPeakMemory;
    ScratchDir dir;
    const Bytes view = busy_view(k40MpWidth, k40MpHeight);
    write_file(dir / "big.mpo", concat({view, view}));
    for (const Tool& tool : kComposing) {
        long peak_kib = 0;
        EXPECT_EQ(run_measured(tool, {"big.mpo"}, dir.path, &peak_kib).status, 0) << tool.name;
        EXPECT_LT(peak_kib, kStreamingPeakKiB) << tool.name;
        remove_outputs(tool, dir, "big");
    }
}

#if !defined(_WIN32)  // POSIX signals and FIFOs
// SIGINT, SIGTERM or SIGHUP while an output is being written: the unfinished
// output is removed and the tool ends by that signal, so that the shell sees
// 130, 143 or 129. The outputs it finished before stay. The composing tools
// are caught while they write a 40 megapixel picture; the splitter's copy is
// too quick to catch, so its output is a FIFO that the test opens and does
// not read, which holds the tool in the middle of its write. (POSIX signals
// and FIFOs.)
TEST(Interrupts, RemoveTheUnfinishedOutputAndEndByTheSignal) {
    ScratchDir dir;
    const Bytes view = busy_view(k40MpWidth, k40MpHeight);
    write_file(dir / "big.mpo", concat({view, view}));
    write_file(dir / "small.mpo", good_mpo());
    const auto inputs = record_inputs(in_dir(dir, {"big.mpo", "small.mpo"}));
    constexpr int kPatienceMs = 60000;
    for (const Tool& tool : kAllTools) {
        const std::string output = dir / outputs_of(tool, "big")[0];
        for (const int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
            SCOPED_TRACE(std::string(tool.name) + " signal " + std::to_string(signal_number));
            int reader = -1;
            if (is_splitter(tool)) {
                ASSERT_EQ(mkfifo(output.c_str(), 0644), 0);
                reader = open(output.c_str(), O_RDONLY | O_NONBLOCK);
                ASSERT_GE(reader, 0);
            }
            RunningTool running = start_tool(tool.name, {"small.mpo", "big.mpo"}, dir.path);
            // Until bytes of the large output are under way.
            bool writing_now = false;
            for (int waited = 0; waited < kPatienceMs && !writing_now; ++waited) {
                if (is_splitter(tool)) {
                    pollfd data = {reader, POLLIN, 0};
                    writing_now = poll(&data, 1, 1) == 1 && (data.revents & POLLIN) != 0;
                    continue;
                }
                struct stat st;
                writing_now = stat(output.c_str(), &st) == 0 && st.st_size > 0;
                if (!writing_now) usleep(1000);
            }
            kill(running.pid, signal_number);
            const RunResult r = finish_tool(&running);
            if (reader >= 0) close(reader);
            EXPECT_TRUE(writing_now) << "the output never began";
            EXPECT_EQ(r.status, 128 + signal_number) << r.out << r.err;
            EXPECT_EQ(r.out, tool.banner + converted(tool, "small") +
                                 (is_splitter(tool) ? "" : writing(outputs_of(tool, "big")[0])));
            EXPECT_FALSE(file_exists(output)) << "the unfinished output is left";
            for (const std::string& name : outputs_of(tool, "small")) {
                EXPECT_NO_THROW(decode(read_file(dir / name))) << "a finished output is damaged: " << name;
            }
            remove_outputs(tool, dir, "small");
            remove_outputs(tool, dir, "big");
        }
    }
    expect_inputs_unchanged(inputs);
}
#else
// Ctrl-C and Ctrl-Break while an output is being written, on Windows: its C
// library turns the console's events into SIGINT and SIGBREAK and calls the
// handler, which must remove the output that is still open, then end the
// program (status 3). No console event can be sent to a program under Wine
// (GenerateConsoleCtrlEvent fails there), so a child raises the signals
// themselves while it holds an output open. The child runs the test anew
// up to its statement, so the output's name must not be a scratch folder's
// (a new one in the child): it is one in the suite's own folder.
TEST(Interrupts, CtrlCAndCtrlBreakRemoveTheUnfinishedOutput) {
    const std::string output = "interrupted_dub.jpg";
    for (const int signal_number : {SIGINT, SIGBREAK}) {
        EXPECT_EXIT(
            {
                FilePtr out(create_output(output));
                if (!out) exit(1);
                (void)fputs("half a picture", out.get());
                (void)fflush(out.get());
                (void)raise(signal_number);
            },
            testing::ExitedWithCode(3), "")
            << "signal " << signal_number;
        EXPECT_FALSE(file_exists(output)) << "the unfinished output is left after signal " << signal_number;
    }
}
#endif
