// The MPO writer's bytes, field by field, at the offsets CIPA DC-007-2009
// (section 5.2) gives them: an APP2 segment "MPF\0", an MP header in TIFF
// form, 12-byte IFD entries (tag, type, count, value or offset), offsets
// counted from the MP header, MP entries of 16 bytes (attribute, size,
// offset, two dependent entries). Written out here by hand, not read back
// with the writer's own code.
#include <gtest/gtest.h>

#include "mpo_writer.hpp"
#include "test_support.hpp"

namespace {

Bytes le32(uint32_t v) {
    return bytes({int(v & 0xFF), int(v >> 8 & 0xFF), int(v >> 16 & 0xFF), int(v >> 24)});
}

// An IFD entry as DC-007 lays it out, little-endian.
Bytes entry(int tag, int type, uint32_t count, const Bytes& value) {
    return concat({bytes({tag & 0xFF, tag >> 8, type, 0}), le32(count), value});
}

// What write_mpo writes, whether it succeeds (*ok) or not.
Bytes written_mpo(const Bytes& left, const Bytes& right, bool* ok, std::string* why) {
    FILE* out = temp_file_holding(Bytes());
    *ok = write_mpo(out, left.data(), left.size(), right.data(), right.size(), why);
    const long size = ftell(out);
    rewind(out);
    Bytes file(static_cast<size_t>(size));
    const size_t got = fread(file.data(), 1, file.size(), out);
    (void)fclose(out);
    EXPECT_EQ(got, file.size());
    return file;
}

}  // namespace

TEST(MpoWriter, WritesTheFieldsOfTheStandardAtTheirOffsets) {
    const Bytes jfif = segment(0xE0, bytes({'J', 'F', 'I', 'F', 0, 1, 2, 0, 0, 1, 0, 1, 0, 0}));
    const Bytes exif = segment(0xE1, bytes({'E', 'x', 'i', 'f', 0, 0, 'M', 'M', 0, 42}));
    // A camera's old segment, big-endian, of one attribute IFD: convergence
    // -2/1 degrees, baseline 75/1000 m, which the new one keeps.
    const Bytes old_mpf = segment(
        0xE2, bytes({'M', 'P', 'F',  0,    'M',  'M',  0,    42, 0, 0, 0, 8, 0, 2,  0xB2, 5, 0, 10,  0, 0,
                     0,   1,   0,    0,    0,    38,   0xB2, 6,  0, 5, 0, 0, 0, 1,  0,    0, 0, 46,  0, 0,
                     0,   0,   0xFF, 0xFF, 0xFF, 0xFE, 0,    0,  0, 1, 0, 0, 0, 75, 0,    0, 3, 0xE8}));
    const Bytes left_jpeg = fake_picture(concat({jfif, exif, old_mpf}), 300, 1);
    // After the left picture's end: padding, kept, then an appended picture (a
    // preview), left out.
    const Bytes left = concat({left_jpeg, bytes({0, 0, 0}), fake_picture({}, 20, 2)});
    const Bytes right_jpeg = fake_picture(exif, 200, 3);
    const Bytes right = concat({right_jpeg, bytes({'x', 'y', 'z'})});

    bool ok = false;
    std::string why;
    const Bytes file = written_mpo(left, right, &ok, &why);
    ASSERT_TRUE(ok) << why;
    constexpr uint32_t kFirstSegment = 160, kSecondSegment = 98;  // 2 + length, as laid out below
    const size_t left_mpf = 2 + jfif.size() + exif.size();        // after APP0 and APP1
    const size_t h = left_mpf + 8;                                // MP header, after FF E2 LL LL "MPF\0"
    const uint32_t left_size = uint32_t(left_jpeg.size() - old_mpf.size() + kFirstSegment);
    const size_t right_at = left_size + 3;
    const size_t right_mpf = right_at + 2 + exif.size();
    const size_t r = right_mpf + 8;
    const uint32_t right_size = uint32_t(right_jpeg.size() + kSecondSegment);
    const Bytes unknown = bytes({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF});

    const struct {
        const char* field;
        size_t at;
        Bytes expected;
    } rows[] = {
        {"the left picture's SOI, APP0 and APP1, unchanged", 0, Bytes(left.begin(), left.begin() + left_mpf)},
        {"APP2 marker, length 158, MP Format Identifier", left_mpf,
         bytes({0xFF, 0xE2, 0, 158, 'M', 'P', 'F', 0})},
        {"MP Endian: little-endian; Offset of First IFD: 8", h, concat({bytes({'I', 'I', 42, 0}), le32(8)})},
        {"MP Index IFD: count 3", h + 8, bytes({3, 0})},
        {"MP Format Version, UNDEFINED, \"0100\"", h + 10, entry(0xB000, 7, 4, bytes({'0', '1', '0', '0'}))},
        {"Number of Images, LONG, 2", h + 22, entry(0xB001, 4, 1, le32(2))},
        {"MP Entry, UNDEFINED, 32 bytes at 50", h + 34, entry(0xB002, 7, 32, le32(50))},
        {"Offset of Next IFD: the attribute IFD at 82", h + 46, le32(82)},
        {"MP Entry 1: representative, JPEG, multi-frame disparity; size; offset 0; no dependents", h + 50,
         concat({le32(0x20020002), le32(left_size), le32(0), le32(0)})},
        {"MP Entry 2: multi-frame disparity; size; offset from the MP header", h + 66,
         concat({le32(0x00020002), le32(right_size), le32(uint32_t(right_at - h)), le32(0)})},
        {"MP Attribute IFD: count 4", h + 82, bytes({4, 0})},
        {"MP Individual Image Number, LONG, 1", h + 84, entry(0xB101, 4, 1, le32(1))},
        {"Base Viewpoint Number, LONG, 1", h + 96, entry(0xB204, 4, 1, le32(1))},
        {"Convergence Angle, SRATIONAL at 136", h + 108, entry(0xB205, 10, 1, le32(136))},
        {"Baseline Length, RATIONAL at 144", h + 120, entry(0xB206, 5, 1, le32(144))},
        {"Offset of Next IFD: none", h + 132, le32(0)},
        {"convergence -2/1, carried over", h + 136, concat({le32(0xFFFFFFFE), le32(1)})},
        {"baseline 75/1000, carried over", h + 144, concat({le32(75), le32(1000)})},
        {"the rest of the left picture, its old segment left out, and its padding", h + 152,
         concat({Bytes(left_jpeg.begin() + ptrdiff_t(left_mpf + old_mpf.size()), left_jpeg.end()),
                 bytes({0, 0, 0})})},
        {"the right picture's SOI and APP1", right_at,
         Bytes(right.begin(), right.begin() + 2 + ptrdiff_t(exif.size()))},
        {"APP2 marker, length 96, MP Format Identifier", right_mpf,
         bytes({0xFF, 0xE2, 0, 96, 'M', 'P', 'F', 0})},
        {"MP header", r, concat({bytes({'I', 'I', 42, 0}), le32(8)})},
        {"MP Attribute IFD: count 5", r + 8, bytes({5, 0})},
        {"MP Format Version", r + 10, entry(0xB000, 7, 4, bytes({'0', '1', '0', '0'}))},
        {"MP Individual Image Number 2", r + 22, entry(0xB101, 4, 1, le32(2))},
        {"Base Viewpoint Number 1", r + 34, entry(0xB204, 4, 1, le32(1))},
        {"Convergence Angle at 74", r + 46, entry(0xB205, 10, 1, le32(74))},
        {"Baseline Length at 82", r + 58, entry(0xB206, 5, 1, le32(82))},
        {"Offset of Next IFD: none; no old segment: both unknown", r + 70,
         concat({le32(0), unknown, unknown})},
        {"the rest of the right picture and what trails it, to the end", r + 90,
         Bytes(right.begin() + 2 + ptrdiff_t(exif.size()), right.end())},
    };
    for (const auto& row : rows) {
        ASSERT_LE(row.at + row.expected.size(), file.size()) << row.field;
        EXPECT_EQ(
            Bytes(file.begin() + ptrdiff_t(row.at), file.begin() + ptrdiff_t(row.at + row.expected.size())),
            row.expected)
            << row.field;
    }
    EXPECT_EQ(file.size(), right_at + right_size + 3);

    // A picture that is none is refused before anything is written.
    EXPECT_TRUE(written_mpo(left, Bytes(right.begin(), right.begin() + 20), &ok, &why).empty());
    EXPECT_FALSE(ok);
    EXPECT_EQ(
        why,
        "the right picture is not a JPEG picture: its header segments do not lead to a frame and a scan");
}
