// The output-name rule shared by all tools, and the splitter's picture names.
#include <gtest/gtest.h>

#include "batch.hpp"
#include "split.hpp"

TEST(OutputName, ReplacesTheExtensionAndKeepsTheFolder) {
    EXPECT_EQ(derive_output_name("shot.mpo", "_dub.jpg"), "shot_dub.jpg");
    EXPECT_EQ(derive_output_name("dir/shot.MPO", "_dub.jpg"), "dir/shot_dub.jpg");
    EXPECT_EQ(derive_output_name("dir/shot.MPO", ".jps"), "dir/shot.jps");
    EXPECT_EQ(derive_output_name(".mpo", "_dub.jpg"), "_dub.jpg");
    EXPECT_EQ(derive_output_name("a.b.mpo", "_ana.jpg"), "a.b_ana.jpg");
}

TEST(OutputName, LongNamesAreNeverTruncated) {
    const std::string stem(400, 'x');
    EXPECT_EQ(derive_output_name((stem + ".mpo").c_str(), "_dub.jpg"), stem + "_dub.jpg");
}

TEST(OutputName, SplitterNamesEveryPicture) {
    EXPECT_EQ(split_output_name("d/shot.mpo", 0), "d/shot_L.jpg");
    EXPECT_EQ(split_output_name("d/shot.mpo", 1), "d/shot_R.jpg");
    EXPECT_EQ(split_output_name("d/shot.mpo", 2), "d/shot_3.jpg");
    EXPECT_EQ(split_output_name("d/shot.mpo", 10), "d/shot_11.jpg");
}
