#include "locator.hpp"

#include <algorithm>
#include <climits>

#include "file_io.hpp"
#include "jpeg_walk.hpp"
#include "platform.hpp"

namespace {

constexpr int kMarkerPrefix = 0xFF;
constexpr int kSOI = 0xD8;  // start of image
constexpr int kDQT = 0xDB;  // an SOI followed by a quantisation table is not counted
constexpr int kSOS = 0xDA;  // start of scan: the header ends here

// Steps over the header segments that follow a start sequence whose fourth
// byte opened a segment with a length. Returns the matcher state in which
// scanning goes on, or -1 when the file ends inside the header.
int step_over_header(FILE* in, long long* pos) {
    for (;;) {
        const int high = read_byte(in);
        const int low = high == EOF ? EOF : read_byte(in);
        if (low == EOF) return -1;
        *pos += 2;
        const unsigned length = (static_cast<unsigned>(high) << 8) | static_cast<unsigned>(low);
        if (length < 2) return 0;
        for (unsigned k = 2; k < length; ++k) {
            if (read_byte(in) == EOF) return -1;
        }
        *pos += length - 2;

        int c = read_byte(in);
        if (c == EOF) return -1;
        ++*pos;
        if (c != kMarkerPrefix) return 0;  // not a marker: cannot begin a match either
        do {
            c = read_byte(in);
            if (c == EOF) return -1;
            ++*pos;
        } while (c == kMarkerPrefix);
        // The matcher sees the marker FF c that ends the header; only an SOI
        // there leaves it part way through a start sequence.
        if (c == kSOS || !marker_has_length(c)) return c == kSOI ? 2 : 0;
    }
}

}  // namespace

// ITU T.81, table B.1.
bool marker_has_length(int marker) {
    return !(marker == 0x00 || marker == 0x01 || (marker >= 0xD0 && marker <= 0xD9) ||
             marker == kMarkerPrefix);
}

void findJPEGs(FILE* in, StartTable* table, int* count) {
    int state = 0;
    int found = 0;
    long long pos = tell_file(in);  // offset of the next byte to be read
    if (pos < 0) pos = 0;

    int c;
    for (;;) {
        if (state == 0) {
            // Nearly all of a picture is entropy-coded data, in which FF is
            // rare: a tight loop finds the next one.
            do {
                c = read_byte(in);
                if (c == EOF) break;
                ++pos;
            } while (c != kMarkerPrefix);
            if (c == EOF) break;
            state = 1;
            continue;
        }
        c = read_byte(in);
        if (c == EOF) break;
        ++pos;
        switch (state) {
            case 1:
                state = c == kSOI ? 2 : 0;
                break;
            case 2:
                state = c == kMarkerPrefix ? 3 : 0;
                break;
            default:  // 3: the fourth byte is consumed whatever it is
                state = 0;
                if (c == kDQT) break;
                if (found < kMaxStarts && pos - 4 <= INT32_MAX) {
                    (*table)[found++] = static_cast<int32_t>(pos - 4);
                }
                if (marker_has_length(c)) state = step_over_header(in, &pos);
                break;
        }
        if (state < 0) break;
    }
    *count = found;
}

namespace {

// Picture j's extent, [begin, begin + length), or from `begin` to the end of
// the input (length -1) when that end cannot be found.
long long picture_length(FILE* in, StartTable* table, int count, int j) {
    return store_end_if_last(in, table, count, j) ? static_cast<long long>((*table)[j + 1]) - (*table)[j]
                                                  : -1;
}

}  // namespace

bool walk_picture_header(FILE* in, StartTable* table, int count, int j, ByteBuffer* buffer, JpegWalk* walk) {
    const long long begin = (*table)[j];
    const long long length = picture_length(in, table, count, j);
    if (seek_file(in, begin, SEEK_SET) != 0) return false;
    long long offset = 0;
    while (!jpeg_is_picture(*walk) && !jpeg_walk_over(*walk) && (length < 0 || offset < length)) {
        size_t want = buffer->size();
        if (length >= 0 && static_cast<unsigned long long>(length - offset) < want) {
            want = static_cast<size_t>(length - offset);
        }
        const size_t got = fread(buffer->data(), 1, want, in);
        walk_jpeg_chunk(walk, offset, buffer->data(), got);
        offset += static_cast<long long>(got);
        if (got < want) break;
    }
    return jpeg_is_picture(*walk);
}

bool copy_picture(FILE* in, StartTable* table, int count, int j, FILE* out, ByteBuffer* buffer,
                  JpegWalk* walk) {
    return copy_bytes(in, (*table)[j], picture_length(in, table, count, j), out, buffer, walk);
}

bool make_copy_buffer(FILE* in, StartTable* table, int count, int pictures, ByteBuffer* buffer) {
    constexpr long long kSmallestChunk = 4096;
    long long size = kSmallestChunk;
    for (int j = 0; j < pictures && j < count && size < static_cast<long long>(kCopyChunk); ++j) {
        const long long extent = store_end_if_last(in, table, count, j)
                                     ? static_cast<long long>((*table)[j + 1]) - (*table)[j]
                                     : static_cast<long long>(kCopyChunk);
        size = std::max(size, std::min(extent, static_cast<long long>(kCopyChunk)));
    }
    return allocate_buffer(buffer, static_cast<size_t>(size));
}

bool store_end_if_last(FILE* in, StartTable* table, int count, int j) {
    if (count - j != 1) return true;
    if (seek_file(in, 0, SEEK_END) != 0) return false;
    const long long end = tell_file(in);
    if (end < 0 || end > INT32_MAX) return false;
    (*table)[j + 1] = static_cast<int32_t>(end);
    return true;
}
