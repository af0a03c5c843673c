// The marker segments of one JPEG picture (ITU T.81, annex B), walked as its
// bytes come, in pieces of any size. The walk tells whether bytes that begin
// like a picture are one (their header segments lead to a frame and a scan)
// and where the picture's end-of-image marker is (a picture without one is
// cut short). The splitter walks each picture as it copies it; the MPO
// writer walks the pictures it joins, stopping at each header segment to
// look inside.
#ifndef STEREO_TOOLKIT_JPEG_WALK_HPP
#define STEREO_TOOLKIT_JPEG_WALK_HPP

#include <cstddef>

// A marker segment: FF, the marker's code, a two-byte big-endian length that
// counts itself, then the rest of the segment.
struct JpegSegment {
    int marker = 0;        // E1 for APP1, DA for SOS, ...
    long long offset = 0;  // of its FF, counted from the picture's first byte
    unsigned length = 0;   // its length field: the segment takes 2 + length bytes
};

struct JpegWalk {
    // Where the walk stands.
    long long position = 0;   // bytes of the picture walked so far
    int state = 0;            // what the next byte must be (jpeg_walk.cpp)
    long long skip = 0;       // bytes of `segment` still to step over
    JpegSegment segment;      // the segment being walked, or the last one
    bool at_segment = false;  // the last call stopped just after the length of a header segment
    // What it found.
    bool frame = false;        // a frame header (SOF0 to SOF15) came before the first scan
    long long scan_data = -1;  // where the first scan's coded data begins; -1 while in the header
    long long end = -1;        // just past the end-of-image marker; -1 until it is met
    bool broken = false;       // the header holds a byte that no picture holds there
};

// Walks on over `bytes`, the picture's next `size` bytes, and returns how
// many it took: all of them, unless the walk is over or stops just after the
// length field of a segment before the first scan's data (at_segment, with
// `segment` describing it; the caller looks at it and calls again with the
// rest). Between the scans it steps over segments by their lengths and
// through coded data to the next marker.
size_t walk_jpeg(JpegWalk* walk, const unsigned char* bytes, size_t size);

// Walks `chunk`, `size` bytes that lie `chunk_offset` bytes into the picture,
// from where the walk stands on to the chunk's end, without stopping at
// header segments; bytes already walked are passed over.
void walk_jpeg_chunk(JpegWalk* walk, long long chunk_offset, const unsigned char* chunk, size_t size);

// Nothing further can change what the walk found: the end-of-image marker
// was met, or the header is broken.
inline bool jpeg_walk_over(const JpegWalk& walk) {
    return walk.end >= 0 || walk.broken;
}

// Bytes that begin like a picture are one when their header segments lead to
// a frame and a scan.
inline bool jpeg_is_picture(const JpegWalk& walk) {
    return walk.scan_data >= 0;
}

#endif
