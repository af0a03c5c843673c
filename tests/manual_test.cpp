// The manual pages against the programs: every page renders without a groff
// warning, carries the project's version, and shows its program's banner,
// output names and every message the program can print, and no message the
// program cannot print. The message lists below are in turn checked against
// the sources, so that a message added to the code without a page entry fails
// here.
#include <gtest/gtest.h>

#if !defined(_WIN32)
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <filesystem>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "test_support.hpp"

namespace {

namespace fs = std::filesystem;

// printf formats, byte for byte as in the code.
const std::vector<std::string> kFrameMessages = {
    "Error when reading file\n",
    "File %s has not the right extension\n",
    "File %s is not a regular file\n",
    "File %s is too large\n",
    "Not enough memory for file %s\n",
    "Writing file %s\n",
    "Error opening output jpeg file %s\n!",
    "Error writing output file %s\n",
};
const std::vector<std::string> kPairMessages = {
    "File %s does not contain two pictures\n",
    "Error creating temporary file for %s\n",
    "File %s has views of different sizes\n",
    "File %s has views that are not RGB\n",
};
const std::string kTooWideMessage = "File %s is too wide for a side-by-side picture\n";
// What --help and --version print instead of the banner; the pages describe
// the two options rather than quote these.
const std::vector<std::string> kOptionFormats = {
    "Usage: %s FILE.mpo...\n%s",
    "Usage: %s FILE_L.jpg...\n%s",
    "Outputs are written beside each input and replace files of the same name.\n",
    "--help and --version are options only when alone: any other argument,\n",
    "%s (stereo-mpo-tools) %s\n",
};

struct Page {
    const char* program;
    std::vector<std::string> messages;
    std::vector<std::string> output_names;  // for an input named shot.mpo (mpojoin: shot_L.jpg)
};

std::vector<std::string> joined(std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

std::vector<std::string> without(std::vector<std::string> a, const std::string& message) {
    a.erase(std::remove(a.begin(), a.end(), message), a.end());
    return a;
}

const std::vector<Page>& pages() {
    static const std::vector<Page> all = {
        {"brantelix", kFrameMessages, {"shot_L.jpg", "shot_R.jpg", "shot_3.jpg"}},
        {"korventale", joined(kFrameMessages, kPairMessages), {"shot_dub.jpg"}},
        {"trismoldaven", joined(kFrameMessages, kPairMessages), {"shot_ana.jpg"}},
        {"vostrin", joined(joined(kFrameMessages, kPairMessages), {kTooWideMessage}), {"shot.jps"}},
        // Left pictures of any name are taken, and refused on standard error.
        {"mpojoin", without(kFrameMessages, "File %s has not the right extension\n"), {"shot.mpo"}},
#if defined(STEREO_HAVE_MPOALIGN)
        {"mpoalign", joined(kFrameMessages, kPairMessages), {"shot_aligned.mpo"}},
#endif
    };
    return all;
}

std::string page_path(const char* program) {
    return std::string(STEREO_MAN_DIR) + "/" + program + ".1";
}

std::string text_of(const std::string& path) {
    const Bytes data = read_file(path);
    return std::string(data.begin(), data.end());
}

struct Rendered {
    int status = -1;  // -1 when the program could not be started
    std::string out;
    std::string err;
};

// Runs a program found in PATH, without a shell, its two output streams kept
// apart in files.
Rendered run_program(const std::vector<std::string>& args) {
#if defined(_WIN32)
    (void)args;  // groff runs on POSIX only: Windows builds render their pages while building
    return Rendered();
#else
    ScratchDir dir;
    const std::string out_path = dir / "out";
    const std::string err_path = dir / "err";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    std::vector<char*> argv;
    argv.reserve(args.size() + 1);
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);

    Rendered r;
    pid_t pid = 0;
    if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) == 0) {
        int status = 0;
        waitpid(pid, &status, 0);
        r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        r.out = text_of(out_path);
        r.err = text_of(err_path);
    }
    posix_spawn_file_actions_destroy(&actions);
    return r;
#endif
}

bool have_groff() {
    return run_program({"groff", "-v"}).status == 0;
}

Rendered render(const std::vector<std::string>& options, const std::string& page) {
    std::vector<std::string> args = {"groff", "-mandoc", "-Tutf8"};
    args.insert(args.end(), options.begin(), options.end());
    args.push_back(page);
    return run_program(args);
}

// Runs of white space become one space, and the typographic hyphen and minus
// that groff may print for '-' become '-', so that text can be compared with
// the messages however the page breaks and sets it.
std::string normalise(const std::string& text) {
    std::string dashes = std::regex_replace(text, std::regex("\xE2\x80\x90|\xE2\x88\x92"), "-");
    std::string result;
    bool in_space = false;
    for (char c : dashes) {
        if (c == ' ' || c == '\n' || c == '\t' || c == '\r') {
            in_space = true;
            continue;
        }
        if (in_space && !result.empty()) result += ' ';
        in_space = false;
        result += c;
    }
    return result;
}

// A printf format as a pattern over normalised text: %s stands for one word
// (the page's placeholder), everything else for itself.
std::regex message_pattern(const std::string& format) {
    const std::string text = normalise(format);
    std::string pattern;
    for (size_t k = 0; k < text.size(); ++k) {
        if (text.compare(k, 2, "%s") == 0) {
            pattern += "\\S+";
            ++k;
        } else if (std::string("\\^$.|?*+()[]{}").find(text[k]) != std::string::npos) {
            pattern += std::string("\\") + text[k];
        } else {
            pattern += text[k];
        }
    }
    return std::regex(pattern);
}

// The page as a reader sees it, without bold or underlining, every paragraph
// on one line so that nothing is hyphenated.
std::string plain_page(const char* program) {
    const Rendered r = render({"-P-c", "-P-b", "-P-u", "-rLL=4000n"}, page_path(program));
    EXPECT_EQ(r.status, 0) << r.err;
    return normalise(r.out);
}

// The format with its escapes written as in C source.
std::string as_c_literal(const std::string& format) {
    std::string literal = "\"";
    for (char c : format) literal += c == '\n' ? std::string("\\n") : std::string(1, c);
    return literal + "\"";
}

std::string program_sources() {
    std::string all;
    for (const char* folder : {"toolkit", "tools"}) {
        for (const auto& entry : fs::recursive_directory_iterator(fs::path(STEREO_SOURCE_DIR) / folder)) {
            const std::string extension = entry.path().extension().string();
            if (entry.is_regular_file() && (extension == ".cpp" || extension == ".hpp")) {
                all += text_of(entry.path().string());
            }
        }
    }
    return all;
}

}  // namespace

TEST(ManualPages, RenderWithoutWarnings) {
    if (!have_groff()) GTEST_SKIP() << "groff is not installed";
    for (const Page& page : pages()) {
        SCOPED_TRACE(page.program);
        const Rendered r = render({"-ww", "-z"}, page_path(page.program));
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, "");
    }
}

TEST(ManualPages, ShowTheProjectVersion) {
    if (!have_groff()) GTEST_SKIP() << "groff is not installed";
    for (const Page& page : pages()) {
        SCOPED_TRACE(page.program);
        EXPECT_NE(plain_page(page.program).find(std::string("stereo-mpo-tools ") + STEREO_VERSION),
                  std::string::npos);
    }
}

TEST(ManualPages, ShowTheBannerAndTheOutputNames) {
    if (!have_groff()) GTEST_SKIP() << "groff is not installed";
    for (const Page& page : pages()) {
        SCOPED_TRACE(page.program);
        const std::string text = plain_page(page.program);
        const RunResult run = run_tool(page.program, {});
        ASSERT_EQ(run.status, 0);
        EXPECT_NE(text.find(normalise(run.out)), std::string::npos) << normalise(run.out);
        for (const std::string& name : page.output_names) {
            EXPECT_NE(text.find(name), std::string::npos) << name;
        }
        for (const char* option : {"--help", "--version"}) {
            EXPECT_NE(text.find(option), std::string::npos) << option;
        }
    }
}

TEST(ManualPages, ShowEveryMessageOfTheirProgramAndNoOther) {
    if (!have_groff()) GTEST_SKIP() << "groff is not installed";
    const std::vector<std::string> every = joined(joined(kFrameMessages, kPairMessages), {kTooWideMessage});
    for (const Page& page : pages()) {
        SCOPED_TRACE(page.program);
        const std::string text = plain_page(page.program);
        for (const std::string& message : every) {
            const bool printed =
                std::find(page.messages.begin(), page.messages.end(), message) != page.messages.end();
            EXPECT_EQ(std::regex_search(text, message_pattern(message)), printed)
                << (printed ? "missing from the page: " : "never printed by the program: ")
                << as_c_literal(message);
        }
    }
}

// The lists above are the programs' messages: each is in the sources, and
// every format that the sources hand to printf is in a list (the banner is
// checked by running the programs).
TEST(ManualPages, MessageListsMatchTheSources) {
    const std::string sources = program_sources();
    std::set<std::string> listed(kOptionFormats.begin(), kOptionFormats.end());
    for (const Page& page : pages()) listed.insert(page.messages.begin(), page.messages.end());
    for (const std::string& message : listed) {
        EXPECT_NE(sources.find(as_c_literal(message)), std::string::npos) << as_c_literal(message);
    }

    const std::regex printf_call(R"re(printf\(\s*"((?:[^"\\]|\\.)*)")re");
    int formats = 0;
    for (std::sregex_iterator it(sources.begin(), sources.end(), printf_call), end; it != end; ++it) {
        std::string format = std::regex_replace((*it)[1].str(), std::regex(R"(\\n)"), "\n");
        ++formats;
        if (format == "%s") continue;  // the banner
        EXPECT_EQ(listed.count(format), 1u) << "not in any page's list: " << as_c_literal(format);
    }
    EXPECT_GT(formats, 0);
}
