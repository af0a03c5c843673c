// When a run keeps its console window open at the end: the decision, with
// the number of processes on the console given as Windows would count it,
// and the batch driver's own use of it.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "batch.hpp"
#include "platform.hpp"
#include "test_support.hpp"

// This suite's console window: these stand in for the platform layer's, whose
// object the linker then leaves out of the library.
namespace {
unsigned long g_console_processes = 0;
int g_waits = 0;
}  // namespace
unsigned long console_processes() {
    return g_console_processes;
}
void wait_for_enter() {
    ++g_waits;
}

TEST(ConsoleWindow, KeptOnlyWhenAloneOnItAndSomethingIsToBeRead) {
    struct Case {
        const char* launch;
        unsigned long processes;
        bool files_given;
        bool all_converted;
        bool kept;
    };
    const Case cases[] = {
        {"files dropped in Explorer, one refused", 1, true, false, true},
        {"double-click, no file", 1, false, true, true},
        {"files dropped in Explorer, all converted", 1, true, true, false},
        {"from cmd or PowerShell, one refused", 2, true, false, false},
        {"from a script, no file", 3, false, true, false},
        {"no console: a POSIX terminal, pipes or files", 0, true, false, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(keeps_console_window(c.processes, c.files_given, c.all_converted), c.kept) << c.launch;
    }
}

namespace {
// Refuses the files named bad.mpo, converts the others.
bool refuse_bad(FILE*, StartTable*, int, const char* arg) {
    const size_t length = strlen(arg);
    return length < 7 || strcmp(arg + length - 7, "bad.mpo") != 0;
}
}  // namespace

// What run_batch says on standard error, and whether it then waits, for what
// Explorer hands the program.
TEST(ConsoleWindow, TheBatchWaitsForEnterWhenAloneOnItAndSomethingIsToBeRead) {
    ScratchDir dir;
    for (const char* name : {"notes.jpg", "bad.mpo", "good.mpo"}) write_file(dir / name, {0xFF, 0xD8});
    const std::string unread =
        "korventale: not every file was converted, see above. Press Enter to close this window.\n";
    const std::string no_file =
        "korventale: no file given: drop MPO files on korventale.exe. Press Enter to close this window.\n";
    struct Case {
        const char* launch;
        unsigned long processes;
        std::vector<std::string> files;
        std::string line;
    };
    const Case cases[] = {
        {"a .jpg dropped in Explorer", 1, {"notes.jpg"}, unread},
        {"one file dropped, refused", 1, {"bad.mpo"}, unread},
        {"a good file and a refused one dropped", 1, {"good.mpo", "bad.mpo"}, unread},
        {"double-click", 1, {}, no_file},
        {"one file dropped, converted", 1, {"good.mpo"}, ""},
        {"from cmd, refused", 2, {"bad.mpo"}, ""},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = {"C:\\Tools\\korventale.exe"};
        for (const std::string& name : c.files) args.push_back(dir / name);
        std::vector<char*> argv;
        argv.reserve(args.size());
        for (std::string& arg : args) argv.push_back(arg.data());
        g_console_processes = c.processes;
        g_waits = 0;
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        run_batch(static_cast<int>(argv.size()), argv.data(), "", "", refuse_bad);
        (void)testing::internal::GetCapturedStdout();
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.line) << c.launch;
        EXPECT_EQ(g_waits, c.line.empty() ? 0 : 1) << c.launch;
    }
}
