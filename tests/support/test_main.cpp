// One main for every suite: GoogleTest's own flags, then --bin=DIR (where the
// built programs are) and --samples=DIR (the real camera files; tests that
// need them skip when the folder is absent).
#include <gtest/gtest.h>

#include <cstring>
#include <string>

void set_test_dirs(const std::string& bin, const std::string& samples);

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    std::string bin, samples;
    for (int i = 1; i < argc; ++i) {
        if (strncmp(argv[i], "--bin=", 6) == 0) bin = argv[i] + 6;
        if (strncmp(argv[i], "--samples=", 10) == 0) samples = argv[i] + 10;
    }
    set_test_dirs(bin, samples);
    return RUN_ALL_TESTS();
}
