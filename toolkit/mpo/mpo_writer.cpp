#include "mpo_writer.hpp"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <vector>

#include "jpeg_walk.hpp"

namespace {

// JPEG markers (ITU T.81, table B.1).
constexpr int kSOI = 0xD8;
constexpr int kAPP0 = 0xE0;  // JFIF
constexpr int kAPP1 = 0xE1;  // Exif
constexpr int kAPP2 = 0xE2;  // MP Format among others

// The MP Format segment's layout and fields (CIPA DC-007-2009, 5.2): an
// identifier, then an MP header in the form of a TIFF header (byte order,
// offset of the first IFD), then IFDs of 12-byte entries (tag, type, count,
// value or the offset of the value). Offsets count from the MP header.
constexpr unsigned char kMpfIdentifier[] = {'M', 'P', 'F', 0};
constexpr size_t kMpfIdentifierSize = sizeof kMpfIdentifier;
constexpr size_t kSegmentHead = 4;  // FF, the marker, the length
constexpr size_t kMpHeaderSize = 8;
constexpr size_t kIfdCountSize = 2;
constexpr size_t kIfdEntrySize = 12;
constexpr size_t kNextIfdSize = 4;
constexpr size_t kMpEntrySize = 16;
constexpr size_t kRationalSize = 8;
constexpr unsigned char kLittleEndian[] = {'I', 'I', 0x2A, 0x00};
constexpr unsigned char kBigEndian[] = {'M', 'M', 0x00, 0x2A};

// Field types (TIFF 6.0, as Exif and DC-007 use them).
constexpr unsigned kLong = 4;
constexpr unsigned kRational = 5;
constexpr unsigned kUndefined = 7;
constexpr unsigned kSRational = 10;

// Tags of the MP Index IFD and the MP Attribute IFD.
constexpr unsigned kMpfVersion = 0xB000;
constexpr unsigned kNumberOfImages = 0xB001;
constexpr unsigned kMpEntry = 0xB002;
constexpr unsigned kIndividualNumber = 0xB101;
constexpr unsigned kBaseViewpointNumber = 0xB204;
constexpr unsigned kConvergenceAngle = 0xB205;
constexpr unsigned kBaselineLength = 0xB206;
constexpr unsigned char kVersion0100[] = {'0', '1', '0', '0'};

// Individual image attribute of an MP entry: flags in bits 31 to 27, the
// data format in bits 26 to 24 (0: JPEG), the type in bits 23 to 0.
constexpr uint32_t kRepresentativeImage = uint32_t{1} << 29;
constexpr uint32_t kMultiFrameDisparity = 0x020002;

constexpr uint32_t kPairImages = 2;
constexpr uint32_t kBaseViewpoint = 1;
// A rational whose numerator and denominator are both FFFFFFFF: unknown, as
// cameras that cannot tell write it.
constexpr uint32_t kUnknown = 0xFFFFFFFF;

// What the copy of one picture takes and leaves.
struct Plan {
    size_t insert_at = 0;   // where the new segment goes: after the opening APP0 and APP1 segments
    size_t jpeg_end = 0;    // just past the end-of-image marker
    size_t kept_end = 0;    // the copy's end: trailing bytes up to an appended picture
    size_t mpf_bytes = 0;   // bytes of the old MPF segments taken out
    bool mpf_read = false;  // the first old MPF segment was read for the camera's geometry
    uint32_t convergence[2] = {kUnknown, kUnknown};  // numerator, denominator
    uint32_t baseline[2] = {kUnknown, kUnknown};
};

// Reads unsigned integers of an MPF segment in its byte order, within its size.
struct MpfReader {
    const unsigned char* data;
    uint64_t size;
    bool little;
    [[nodiscard]] bool fits(uint64_t at, uint64_t bytes) const { return at + bytes <= size; }
    [[nodiscard]] uint32_t get(uint64_t at, int bytes) const {
        uint32_t value = 0;
        for (int k = 0; k < bytes; ++k) {
            const int index = little ? bytes - 1 - k : k;
            value = value << 8 | data[at + static_cast<uint64_t>(index)];
        }
        return value;
    }
};

// The convergence angle and baseline length that an old MPF segment's MP
// Attribute IFD holds (`mpf`: the bytes after its identifier), so that a
// pair split from a camera's file and joined again keeps what the camera
// recorded. The first picture's first IFD is its MP Index IFD, which the
// attribute IFD follows; other pictures begin with their attribute IFD.
void read_geometry(const unsigned char* mpf, size_t size, Plan* plan) {
    if (size < kMpHeaderSize) return;
    const bool little = memcmp(mpf, kLittleEndian, sizeof kLittleEndian) == 0;
    if (!little && memcmp(mpf, kBigEndian, sizeof kBigEndian) != 0) return;
    const MpfReader r{mpf, size, little};
    uint64_t ifd = r.get(4, 4);
    for (int hop = 0; hop < 2 && r.fits(ifd, kIfdCountSize); ++hop) {
        const uint32_t count = r.get(ifd, 2);
        const uint64_t entries = ifd + kIfdCountSize;
        if (!r.fits(entries, count * kIfdEntrySize + kNextIfdSize)) return;
        bool index = false;
        for (uint32_t k = 0; k < count; ++k) {
            const uint64_t entry = entries + k * kIfdEntrySize;
            const uint32_t tag = r.get(entry, 2);
            const uint32_t type = r.get(entry + 2, 2);
            const uint64_t value = r.get(entry + 8, 4);
            index = index || tag == kMpEntry;
            uint32_t* field = tag == kConvergenceAngle && type == kSRational ? plan->convergence
                              : tag == kBaselineLength && type == kRational  ? plan->baseline
                                                                             : nullptr;
            if (field == nullptr || r.get(entry + 4, 4) != 1 || !r.fits(value, kRationalSize)) continue;
            field[0] = r.get(value, 4);
            field[1] = r.get(value + 4, 4);
        }
        if (!index) return;
        ifd = r.get(entries + count * kIfdEntrySize, 4);
    }
}

bool is_mpf_segment(const unsigned char* picture, size_t size, const JpegSegment& s) {
    const size_t at = static_cast<size_t>(s.offset);
    return s.marker == kAPP2 && s.length >= 2 + kMpfIdentifierSize && at + 2 + s.length <= size &&
           memcmp(picture + at + kSegmentHead, kMpfIdentifier, kMpfIdentifierSize) == 0;
}

// The first start of a picture in `bytes` as the locator sees one: FF D8 FF
// and a fourth byte other than DB.
size_t next_picture_start(const unsigned char* bytes, size_t from, size_t size) {
    constexpr unsigned char kDQT = 0xDB;
    for (size_t k = from; k + 4 <= size; ++k) {
        if (bytes[k] == 0xFF && bytes[k + 1] == kSOI && bytes[k + 2] == 0xFF && bytes[k + 3] != kDQT) {
            return k;
        }
    }
    return size;
}

bool plan_picture(const unsigned char* picture, size_t size, Plan* plan, std::string* why) {
    JpegWalk walk;
    bool opening = true;  // still among the APP0 and APP1 segments that open the picture
    plan->insert_at = 2;  // after SOI
    size_t at = 0;
    while (!jpeg_walk_over(walk) && at < size) {
        at += walk_jpeg(&walk, picture + at, size - at);
        if (!walk.at_segment) continue;
        const JpegSegment& s = walk.segment;
        opening = opening && (s.marker == kAPP0 || s.marker == kAPP1);
        if (opening) plan->insert_at = static_cast<size_t>(s.offset) + 2 + s.length;
        if (!is_mpf_segment(picture, size, s)) continue;
        plan->mpf_bytes += 2 + s.length;
        const size_t mpf = static_cast<size_t>(s.offset) + kSegmentHead + kMpfIdentifierSize;
        if (!plan->mpf_read) read_geometry(picture + mpf, s.length - 2 - kMpfIdentifierSize, plan);
        plan->mpf_read = true;
    }
    if (size < 2 || picture[0] != 0xFF || picture[1] != kSOI) {
        *why = "not a JPEG picture";
        return false;
    }
    if (!jpeg_is_picture(walk)) {
        *why = "not a JPEG picture: its header segments do not lead to a frame and a scan";
        return false;
    }
    if (walk.end < 0) {
        *why = "a JPEG picture cut short: it ends before its end-of-image marker";
        return false;
    }
    plan->jpeg_end = static_cast<size_t>(walk.end);
    plan->kept_end = next_picture_start(picture, plan->jpeg_end, size);
    return true;
}

// Byte by byte: GCC 12 takes a vector's insert of a few bytes for an overflow.
void append_bytes(std::vector<unsigned char>* out, const unsigned char* bytes, size_t size) {
    for (size_t k = 0; k < size; ++k) out->push_back(bytes[k]);
}

// Little-endian, as the new segments are written.
void append_value(std::vector<unsigned char>* out, uint32_t value, int bytes) {
    for (int k = 0; k < bytes; ++k) out->push_back(static_cast<unsigned char>(value >> (8 * k)));
}

void append_entry(std::vector<unsigned char>* out, unsigned tag, unsigned type, uint32_t count,
                  uint32_t value) {
    append_value(out, tag, 2);
    append_value(out, type, 2);
    append_value(out, count, 4);
    append_value(out, value, 4);
}

// `value` as the value field holds 4 bytes of UNDEFINED data: in their order.
void append_entry(std::vector<unsigned char>* out, unsigned tag, const unsigned char (&value)[4]) {
    append_value(out, tag, 2);
    append_value(out, kUndefined, 2);
    append_value(out, sizeof value, 4);
    append_bytes(out, value, sizeof value);
}

struct MpEntry {
    uint32_t attribute;
    uint32_t size;
    uint32_t offset;
};

// An MP Attribute IFD at offset `ifd` of the MP header: the MPF version when
// asked for (cameras leave it out of the first picture's, which its index
// holds), the individual image number, the base viewpoint number, and the
// convergence angle and baseline length, whose rationals follow the IFD.
void append_attribute_ifd(std::vector<unsigned char>* mpf, size_t ifd, bool version, uint32_t number,
                          const Plan& plan) {
    const uint32_t entries = version ? 5 : 4;
    const size_t values = ifd + kIfdCountSize + entries * kIfdEntrySize + kNextIfdSize;
    append_value(mpf, entries, 2);
    if (version) append_entry(mpf, kMpfVersion, kVersion0100);
    append_entry(mpf, kIndividualNumber, kLong, 1, number);
    append_entry(mpf, kBaseViewpointNumber, kLong, 1, kBaseViewpoint);
    append_entry(mpf, kConvergenceAngle, kSRational, 1, static_cast<uint32_t>(values));
    append_entry(mpf, kBaselineLength, kRational, 1, static_cast<uint32_t>(values + kRationalSize));
    append_value(mpf, 0, 4);  // no next IFD
    for (const uint32_t* rational : {plan.convergence, plan.baseline}) {
        append_value(mpf, rational[0], 4);
        append_value(mpf, rational[1], 4);
    }
}

// The MP header and IFDs of the first picture (with `entries`, the index) or
// of the second (without).
std::vector<unsigned char> mp_data(const MpEntry* entries, const Plan& plan, uint32_t number) {
    std::vector<unsigned char> mpf;
    append_bytes(&mpf, kLittleEndian, sizeof kLittleEndian);
    append_value(&mpf, kMpHeaderSize, 4);  // the first IFD follows the header
    if (entries == nullptr) {
        append_attribute_ifd(&mpf, kMpHeaderSize, true, number, plan);
        return mpf;
    }
    constexpr uint32_t kIndexEntries = 3;
    const size_t entry_data = kMpHeaderSize + kIfdCountSize + kIndexEntries * kIfdEntrySize + kNextIfdSize;
    const size_t attribute_ifd = entry_data + kPairImages * kMpEntrySize;
    append_value(&mpf, kIndexEntries, 2);
    append_entry(&mpf, kMpfVersion, kVersion0100);
    append_entry(&mpf, kNumberOfImages, kLong, 1, kPairImages);
    append_entry(&mpf, kMpEntry, kUndefined, kPairImages * kMpEntrySize, static_cast<uint32_t>(entry_data));
    append_value(&mpf, static_cast<uint32_t>(attribute_ifd), 4);
    for (uint32_t k = 0; k < kPairImages; ++k) {
        append_value(&mpf, entries[k].attribute, 4);
        append_value(&mpf, entries[k].size, 4);
        append_value(&mpf, entries[k].offset, 4);
        append_value(&mpf, 0, 2);  // no dependent images
        append_value(&mpf, 0, 2);
    }
    append_attribute_ifd(&mpf, attribute_ifd, false, number, plan);
    return mpf;
}

// The whole APP2 segment around `mpf`; its length field is big-endian, as
// every JPEG segment's.
std::vector<unsigned char> mpf_segment(const std::vector<unsigned char>& mpf) {
    const size_t length = 2 + kMpfIdentifierSize + mpf.size();
    std::vector<unsigned char> segment;
    const unsigned char head[kSegmentHead] = {0xFF, kAPP2, static_cast<unsigned char>(length >> 8),
                                              static_cast<unsigned char>(length & 0xFF)};
    append_bytes(&segment, head, kSegmentHead);
    append_bytes(&segment, kMpfIdentifier, kMpfIdentifierSize);
    append_bytes(&segment, mpf.data(), mpf.size());
    return segment;
}

bool write_bytes(FILE* out, const unsigned char* bytes, size_t size) {
    return size == 0 || fwrite(bytes, 1, size, out) == size;
}

// Copies the picture as planned: its header walked again to take out the
// old MPF segments and put `segment` in, then the rest in one piece.
bool write_picture(FILE* out, const unsigned char* picture, const Plan& plan,
                   const std::vector<unsigned char>& segment) {
    JpegWalk walk;
    size_t at = 0;
    size_t written = 0;
    bool inserted = false;
    while (!jpeg_is_picture(walk) && !jpeg_walk_over(walk) && at < plan.kept_end) {
        at += walk_jpeg(&walk, picture + at, plan.kept_end - at);
        if (!walk.at_segment) continue;
        const JpegSegment& s = walk.segment;
        const size_t offset = static_cast<size_t>(s.offset);
        if (!inserted && offset >= plan.insert_at) {
            if (!write_bytes(out, picture + written, plan.insert_at - written) ||
                !write_bytes(out, segment.data(), segment.size())) {
                return false;
            }
            written = plan.insert_at;
            inserted = true;
        }
        if (is_mpf_segment(picture, plan.kept_end, s)) {
            if (!write_bytes(out, picture + written, offset - written)) return false;
            written = offset + 2 + s.length;
        }
    }
    return write_bytes(out, picture + written, plan.kept_end - written);
}

// A picture's size once its old MPF segments are replaced by one of
// `segment_size` bytes, to the end of its end-of-image marker or of all
// that is copied.
uint64_t new_size(const Plan& plan, size_t end, size_t segment_size) {
    return uint64_t{end} - plan.mpf_bytes + segment_size;
}

}  // namespace

bool check_mpo_picture(const unsigned char* picture, size_t size, std::string* why) {
    Plan plan;
    return plan_picture(picture, size, &plan, why);
}

bool write_mpo(FILE* out, const unsigned char* left, size_t left_size, const unsigned char* right,
               size_t right_size, std::string* why) {
    Plan plans[2];
    if (!plan_picture(left, left_size, &plans[0], why)) {
        *why = "the left picture is " + *why;
        errno = EINVAL;
        return false;
    }
    if (!plan_picture(right, right_size, &plans[1], why)) {
        *why = "the right picture is " + *why;
        errno = EINVAL;
        return false;
    }
    // The segments' sizes do not depend on the values in them.
    const MpEntry placeholder[kPairImages] = {};
    const size_t first_size = mpf_segment(mp_data(placeholder, plans[0], 1)).size();
    const size_t second_size = mpf_segment(mp_data(nullptr, plans[1], 2)).size();
    const uint64_t left_copied = new_size(plans[0], plans[0].kept_end, first_size);
    const uint64_t mp_header = plans[0].insert_at + kSegmentHead + kMpfIdentifierSize;
    const uint64_t sizes[] = {new_size(plans[0], plans[0].jpeg_end, first_size),
                              new_size(plans[1], plans[1].jpeg_end, second_size), left_copied - mp_header};
    for (const uint64_t value : sizes) {
        if (value > UINT32_MAX) {
            *why = "the pair is too large for an MPO file, whose sizes and offsets have 32 bits";
            errno = EFBIG;
            return false;
        }
    }
    // The first picture's offset is 0; the second's counts from the first's MP header.
    const MpEntry entries[kPairImages] = {
        {kRepresentativeImage | kMultiFrameDisparity, static_cast<uint32_t>(sizes[0]), 0},
        {kMultiFrameDisparity, static_cast<uint32_t>(sizes[1]), static_cast<uint32_t>(sizes[2])},
    };
    if (!write_picture(out, left, plans[0], mpf_segment(mp_data(entries, plans[0], 1))) ||
        !write_picture(out, right, plans[1], mpf_segment(mp_data(nullptr, plans[1], 2)))) {
        const int error = errno;
        *why = strerror(error);
        errno = error;
        return false;
    }
    return true;
}
