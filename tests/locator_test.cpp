// The start matcher's rules, the stepping over header segments, the table
// limit, and the starts found in real camera files.
#include <gtest/gtest.h>

#include <random>

#include "file_io.hpp"
#include "locator.hpp"
#include "test_support.hpp"

using Starts = std::vector<int32_t>;

namespace {

// The four-state matcher with no header stepping, to compare against on files
// where stepping must change nothing.
Starts plain_matcher(const Bytes& file) {
    Starts starts;
    int state = 0;
    for (size_t k = 0; k < file.size(); ++k) {
        const int c = file[k];
        if (state == 0)
            state = c == 0xFF ? 1 : 0;
        else if (state == 1)
            state = c == 0xD8 ? 2 : 0;
        else if (state == 2)
            state = c == 0xFF ? 3 : 0;
        else {
            if (c != 0xDB) starts.push_back(static_cast<int32_t>(k - 3));
            state = 0;
        }
    }
    return starts;
}

Bytes app1_with_thumbnail(int thumbnail_fourth_byte) {
    const Bytes thumbnail = fake_picture(segment(0xC4, bytes({0, 1, 2, 3})), 40, 7);
    Bytes payload = concat({bytes({'E', 'x', 'i', 'f', 0, 0}), thumbnail});
    payload[6 + 3] = static_cast<unsigned char>(thumbnail_fourth_byte);
    return segment(0xE1, payload);
}

}  // namespace

TEST(Matcher, RecognisesOnlyCompleteStartSequences) {
    EXPECT_EQ(locate({}), Starts{});
    EXPECT_EQ(locate(bytes({0x00, 0x11, 0xFF, 0xD8})), Starts{});
    EXPECT_EQ(locate(bytes({0xFF, 0xD8, 0xFF})), Starts{}) << "fourth byte beyond the end";
    EXPECT_EQ(locate(bytes({0xFF, 0xD8, 0xFF, 0xDB, 0x00, 0x43})), Starts{}) << "SOI + DQT is not a picture";
    EXPECT_EQ(locate(bytes({0xFF, 0xFF, 0xD8, 0xFF, 0xD9})), Starts{}) << "FF in state 1 resets";
    EXPECT_EQ(locate(bytes({1, 2, 3, 0xFF, 0xD8, 0xFF, 0xD9})), Starts{3});
    // The fourth byte is consumed even when it is FF: D8 FF E1 is no new start.
    EXPECT_EQ(locate(bytes({0xFF, 0xD8, 0xFF, 0xFF, 0xD8, 0xFF, 0xE1})), Starts{0});
    // A fourth byte without a segment length starts no stepping.
    EXPECT_EQ(locate(bytes({0xFF, 0xD8, 0xFF, 0xD9, 0xFF, 0xD8, 0xFF, 0xE0})), Starts({0, 4}));
}

TEST(Matcher, CountsEveryMarkerButDqtAsFourthByte) {
    for (int marker : {0xE0, 0xE1, 0xE2, 0xC4, 0xC0, 0xFE}) {
        EXPECT_EQ(locate(fake_picture(segment(marker, bytes({1, 2, 3})), 20, 1)), Starts{0})
            << std::hex << marker;
    }
}

TEST(Matcher, AgreesWithPlainMatcherWhenNoHeaderIsStepped) {
    // Bytes drawn from the values that drive the matcher, but never one that
    // opens a segment, so stepping never starts.
    const unsigned char alphabet[] = {0xFF, 0xD8, 0xDB, 0x00, 0x01, 0xD0, 0xD9};
    std::mt19937 rng(12345);
    for (int round = 0; round < 500; ++round) {
        Bytes file(1 + rng() % 300);
        for (unsigned char& b : file) b = alphabet[rng() % sizeof alphabet];
        const Starts expected = plain_matcher(file);
        if (expected.size() > static_cast<size_t>(kMaxStarts)) continue;
        ASSERT_EQ(locate(file), expected) << "round " << round;
    }
}

TEST(HeaderStepping, SkipsThumbnailsInsideHeaderSegments) {
    for (int thumbnail_start : {0xC0, 0xC4, 0xE0, 0xDB}) {
        const Bytes left = fake_picture(app1_with_thumbnail(thumbnail_start), 100, 1);
        const Bytes right = fake_picture(app1_with_thumbnail(thumbnail_start), 90, 2);
        const Bytes file = concat({left, right, bytes({0, 0, 0})});
        EXPECT_EQ(locate(file), Starts({0, static_cast<int32_t>(left.size())}))
            << std::hex << thumbnail_start;
    }
}

TEST(HeaderStepping, StepsOverFillBytesAndSeveralSegments) {
    const Bytes header = concat({segment(0xE1, bytes({0xFF, 0xD8, 0xFF, 0xE0})), bytes({0xFF, 0xFF}),
                                 segment(0xE2, bytes({0xFF, 0xD8, 0xFF, 0xC4})),
                                 segment(0xC4, bytes({0xFF, 0xD8, 0xFF, 0xC0}))});
    EXPECT_EQ(locate(fake_picture(header, 30, 3)), Starts{0});
}

TEST(HeaderStepping, EndsWhereTheHeaderEnds) {
    const Bytes start = bytes({0xFF, 0xD8});
    const Bytes hidden = bytes({0xFF, 0xD8, 0xFF, 0xE1});
    // After SOS the entropy-coded data is matched byte by byte again.
    EXPECT_EQ(locate(concat({start, segment(0xE0, hidden), segment(0xDA, bytes({1})), hidden})),
              Starts({0, 15}));
    // A length below 2 ends the stepping right after the length field.
    EXPECT_EQ(locate(concat({start, bytes({0xFF, 0xE1, 0x00, 0x01}), hidden})), Starts({0, 6}));
    // A byte that cannot begin a marker ends it too, and is matched.
    EXPECT_EQ(locate(concat({start, segment(0xE0, bytes({1, 2})), bytes({0x55}), hidden})), Starts({0, 9}));
    // A marker without a length ends it and is seen by the matcher: an SOI
    // there begins a start sequence.
    EXPECT_EQ(locate(concat({start, segment(0xE0, hidden), bytes({0xFF, 0xFF, 0xD8, 0xFF, 0xC0})})),
              Starts({0, 11}));
    EXPECT_EQ(locate(concat({start, segment(0xE0, hidden), bytes({0xFF, 0xD9}), hidden})), Starts({0, 12}));
}

TEST(HeaderStepping, SegmentRunningPastTheEndEndsTheScan) {
    const Bytes truncated = bytes({0xFF, 0xD8, 0xFF, 0xE1, 0x40, 0x00, 0xFF, 0xD8, 0xFF, 0xE0});
    EXPECT_EQ(locate(truncated), Starts{0});
    EXPECT_EQ(locate(bytes({0xFF, 0xD8, 0xFF, 0xE1, 0x40})), Starts{0}) << "length cut short";
}

TEST(StartTable, KeepsTheFirst127StartsAndNeverTouchesTheEndSlot) {
    Bytes file;
    for (int k = 0; k < 300; ++k) {
        const Bytes start = bytes({0xFF, 0xD8, 0xFF, 0xD9, 0x00});
        file.insert(file.end(), start.begin(), start.end());
    }
    FILE* in = temp_file_holding(file);
    StartTable table;
    table.fill(-7);
    int count = 0;
    findJPEGs(in, &table, &count);
    EXPECT_EQ(count, kMaxStarts);
    EXPECT_EQ(table[kMaxStarts - 1], 5 * (kMaxStarts - 1));
    EXPECT_EQ(table[kMaxStarts], -7);

    // The last recorded picture then runs to the end of the file.
    ASSERT_TRUE(store_end_if_last(in, &table, count, count - 1));
    EXPECT_EQ(table[kMaxStarts], static_cast<int32_t>(file.size()));
    (void)fclose(in);
}

TEST(StartTable, EndSlotIsWrittenOnlyForTheLastPicture) {
    FILE* in = temp_file_holding(Bytes(1000, 0x11));
    StartTable table;
    table.fill(-1);
    EXPECT_TRUE(store_end_if_last(in, &table, 2, 0));
    EXPECT_EQ(table[1], -1);
    EXPECT_TRUE(store_end_if_last(in, &table, 2, 1));
    EXPECT_EQ(table[2], 1000);
    (void)fclose(in);
}

// The copy buffer follows the largest picture it will copy, the last one
// running to the end of the file, between a page and kCopyChunk.
TEST(StartTable, CopyBufferIsSizedByTheLargestPictureCopied) {
    const int32_t file_size = 3 << 20;
    FILE* in = temp_file_holding(Bytes(static_cast<size_t>(file_size), 0x22));
    StartTable table;
    table.fill(-1);
    table[0] = 0;
    table[1] = 100;
    table[2] = 20100;
    ByteBuffer buffer;
    ASSERT_TRUE(make_copy_buffer(in, &table, 3, 1, &buffer));
    EXPECT_EQ(buffer.size(), 4096u) << "a tiny picture still gets a page";
    ASSERT_TRUE(make_copy_buffer(in, &table, 3, 2, &buffer));
    EXPECT_EQ(buffer.size(), 20000u);
    ASSERT_TRUE(make_copy_buffer(in, &table, 3, 3, &buffer));
    EXPECT_EQ(buffer.size(), kCopyChunk) << "the last picture runs to the end of the file";
    table[0] = file_size - 30000;
    ASSERT_TRUE(make_copy_buffer(in, &table, 1, 1, &buffer));
    EXPECT_EQ(buffer.size(), 30000u);
    (void)fclose(in);
}

// Starts of the real camera files, as their folder's README lists them.
TEST(RealFiles, StartsOfCameraFiles) {
    const struct {
        const char* name;
        Starts starts;
    } cases[] = {
        {"3ds_sugarshack.mpo", {0, 60008}},
        {"3ds_frozenpond.mpo", {0, 82452}},
        {"3ds_sugarshack_frame_size.mpo", {0, 60008}},
        {"3ds_sugarshack_ifd_offset.mpo", {0, 60010}},
        {"3ds_sugarshack_no_data.mpo", {0, 60008}},
        {"3ds_sugarshack_bad_mpo_header.jpg", {0, 60008}},
        {"fujifilm_w3.mpo", {0, 4967936}},
        {"panasonic_gx8.mpo", {0, 1251328}},
        {"samsung_nx1000_64px.mpo", {0, 2240}},
        {"iphone_primary_gainmap.mpo", {0, 4226}},
        {"panasonic_lx7_with_preview.jpg", {0, 3428864}},
        {"fujifilm_finepix40i.jpg", {0}},
        {"fujifilm_finepix4900zoom.jpg", {0}},
        {"hp_photosmart735.jpg", {0}},
    };
    if (samples_dir_absent()) GTEST_SKIP() << "camera files absent: " << samples_dir();
    for (const auto& c : cases) EXPECT_EQ(locate(read_file(sample_file(c.name))), c.starts) << c.name;
}
