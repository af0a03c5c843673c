// When a run keeps its console window open at the end: the decision, with
// the number of processes on the console given as Windows would count it.
#include <gtest/gtest.h>

#include "platform.hpp"

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
