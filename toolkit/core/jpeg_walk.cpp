#include "jpeg_walk.hpp"

#include <algorithm>
#include <cstring>

#include "locator.hpp"

namespace {

// What the next byte of the picture must be.
enum State {
    kStart,       // FF of the start-of-image marker
    kStartCode,   // its D8
    kMarker,      // FF of the next header segment
    kMarkerCode,  // a header segment's code, or more FF fill
    kLengthHigh,  // the segment's length, high byte
    kLengthLow,   // and low byte
    kSegment,     // the rest of the segment, stepped over
    kData,        // coded data: only FF matters
    kDataMarker,  // the byte after an FF in coded data
};

// ITU T.81, table B.1.
constexpr int kPrefix = 0xFF;
constexpr int kRST0 = 0xD0;
constexpr int kRST7 = 0xD7;
constexpr int kSOI = 0xD8;
constexpr int kEOI = 0xD9;
constexpr int kSOS = 0xDA;

// SOF0 to SOF15: C0 to CF but DHT (C4), JPG (C8) and DAC (CC).
bool is_frame_marker(int marker) {
    return marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
}

bool in_header(const JpegWalk& walk) {
    return walk.scan_data < 0;
}

// The segment has been stepped over: the header goes on with the next
// marker, or ends with the scan header; between scans, coded data follows.
void segment_done(JpegWalk* walk) {
    if (!in_header(*walk)) {
        walk->state = kData;
    } else if (walk->segment.marker == kSOS) {
        walk->scan_data = walk->position;
        walk->state = kData;
    } else {
        walk->state = kMarker;
    }
}

// A marker with a length begins a segment at the FF just taken.
void begin_segment(JpegWalk* walk, int marker) {
    walk->segment.marker = marker;
    walk->segment.offset = walk->position - 2;
    walk->state = kLengthHigh;
}

// The length is read. True when the walk stops here for the caller to look
// at a header segment.
bool length_read(JpegWalk* walk) {
    const unsigned length = walk->segment.length;
    if (length < 2) {
        // Damaged coded data is no reason to stop looking for the end.
        if (in_header(*walk)) walk->broken = true;
        walk->state = kData;
        return false;
    }
    walk->skip = length - 2;
    walk->state = kSegment;
    if (!in_header(*walk)) return false;
    if (is_frame_marker(walk->segment.marker)) walk->frame = true;
    // A scan needs the frame it belongs to.
    if (walk->segment.marker == kSOS && !walk->frame) {
        walk->broken = true;
        return false;
    }
    return true;
}

// Nearly all of a picture is coded data, in which an FF is mostly followed
// by a stuffed zero or a restart marker's code, part of the data: those are
// passed over here, as quickly as memchr finds each FF. Returns the offset
// just past the FF of anything else, or `size`.
size_t skip_coded_data(const unsigned char* bytes, size_t k, size_t size) {
    for (;;) {
        const void* found = memchr(bytes + k, kPrefix, size - k);
        if (found == nullptr) return size;
        k = static_cast<size_t>(static_cast<const unsigned char*>(found) - bytes) + 1;
        if (k == size) return k;
        const int c = bytes[k];
        if (c != 0x00 && (c < kRST0 || c > kRST7)) return k;
        ++k;
    }
}

// Takes one byte of the marker syntax. True when the walk stops here.
bool take_byte(JpegWalk* walk, int c) {
    switch (walk->state) {
        case kStart:
            walk->broken = c != kPrefix;
            walk->state = kStartCode;
            break;
        case kStartCode:
            walk->broken = c != kSOI;
            walk->state = kMarker;
            break;
        case kMarker:
            walk->broken = c != kPrefix;
            walk->state = kMarkerCode;
            break;
        case kMarkerCode:
            // Any marker may be preceded by FF fill bytes (T.81, B.1.1.2).
            if (c == kPrefix) break;
            // Before the first scan, only segments: an end, a restart or a
            // second start there is no picture.
            if (!marker_has_length(c)) {
                walk->broken = true;
            } else {
                begin_segment(walk, c);
            }
            break;
        case kDataMarker:
            if (c == kPrefix) break;
            if (c == kEOI) {
                walk->end = walk->position;
            } else if (marker_has_length(c)) {
                begin_segment(walk, c);  // tables or the next scan's header
            } else {
                walk->state = kData;  // a stuffed zero or a restart marker
            }
            break;
        case kLengthHigh:
            walk->segment.length = static_cast<unsigned>(c) << 8;
            walk->state = kLengthLow;
            break;
        default:  // kLengthLow
            walk->segment.length |= static_cast<unsigned>(c);
            return length_read(walk);
    }
    return false;
}

}  // namespace

size_t walk_jpeg(JpegWalk* walk, const unsigned char* bytes, size_t size) {
    walk->at_segment = false;
    size_t k = 0;
    while (!jpeg_walk_over(*walk)) {
        if (walk->state == kSegment) {
            const size_t step =
                static_cast<size_t>(std::min<long long>(walk->skip, static_cast<long long>(size - k)));
            k += step;
            walk->position += static_cast<long long>(step);
            walk->skip -= static_cast<long long>(step);
            if (walk->skip > 0) break;
            segment_done(walk);
            continue;
        }
        if (k == size) break;
        if (walk->state == kData) {
            const size_t from = k;
            k = skip_coded_data(bytes, k, size);
            walk->position += static_cast<long long>(k - from);
            if (k == size) break;
            walk->state = kDataMarker;  // the FF just taken
            continue;
        }
        const int c = bytes[k++];
        ++walk->position;
        if (take_byte(walk, c)) {
            walk->at_segment = true;
            break;
        }
    }
    return k;
}

void walk_jpeg_chunk(JpegWalk* walk, long long chunk_offset, const unsigned char* chunk, size_t size) {
    const long long chunk_end = chunk_offset + static_cast<long long>(size);
    while (!jpeg_walk_over(*walk) && walk->position >= chunk_offset && walk->position < chunk_end) {
        const size_t from = static_cast<size_t>(walk->position - chunk_offset);
        (void)walk_jpeg(walk, chunk + from, size - from);
    }
}
