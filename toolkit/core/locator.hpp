// Image locator: finds where each embedded JPEG stream of an MPO file begins.
//
// An MPO file is a run of complete JPEG streams. Instead of trusting the
// multi-picture index (which cameras and editors sometimes get wrong), the
// whole file is scanned once for the bytes that open a JPEG stream, and every
// hit is taken as the start of one picture. Picture j then spans the bytes
// [table[j], table[j + 1]); the slot after the last start receives the file
// length once the caller reaches the last picture.
#ifndef STEREO_TOOLKIT_LOCATOR_HPP
#define STEREO_TOOLKIT_LOCATOR_HPP

#include <array>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "file_io.hpp"

// 128 slots: at most 127 starts, plus one slot for the end of the last picture.
constexpr int kStartTableSize = 128;
constexpr int kMaxStarts = kStartTableSize - 1;

using StartTable = std::array<int32_t, kStartTableSize>;

// Scans `in` (binary mode, at the beginning of the file) to its end and stores
// the offset of every start sequence FF D8 FF xx (xx other than DB) in
// table[0 .. *count - 1], in file order; starts beyond the 127th are ignored.
// When the fourth byte opens a marker segment, the picture's header segments
// are stepped over by their lengths, so that an Exif thumbnail stored inside
// them is not mistaken for a picture. Reads byte by byte, never seeks; a read
// error ends the scan like the end of the file. The stream is left at its end.
void findJPEGs(FILE* in, StartTable* table, int* count);

// Whether JPEG marker FF `marker` is followed by a two-byte big-endian length
// that counts itself: all are but TEM (01), RST0-RST7 (D0-D7), SOI (D8) and
// EOI (D9). FF 00 is a stuffed zero byte and FF FF fill, neither a marker.
bool marker_has_length(int marker);

// Stores the end of picture j in table[j + 1] when j is the last located
// picture (its extent then runs to the end of the file, trailing bytes
// included). Returns false when the input's end cannot be determined.
bool store_end_if_last(FILE* in, StartTable* table, int count, int j);

// Sizes `buffer` for copying the first `pictures` pictures: as large as the
// largest of them, but no larger than kCopyChunk, and a page at least (so
// that a file that changes under the copy is still copied in chunks). A
// small file is then copied without taking and releasing a megabyte. False
// when the memory cannot be had.
bool make_copy_buffer(FILE* in, StartTable* table, int count, int pictures, ByteBuffer* buffer);

// Copies the bytes of picture j, [table[j], table[j + 1]), to `out` through
// `buffer`, storing the end slot first when j is the last picture (whose
// copy then runs to the end of the input even if its end cannot be found).
// A short read copies what was read. When `walk` is given, it walks on over
// the bytes as they are copied. Returns false when a write fails.
bool copy_picture(FILE* in, StartTable* table, int count, int j, FILE* out, ByteBuffer* buffer,
                  JpegWalk* walk = nullptr);

// Walks the header segments of picture j (jpeg_walk.hpp) with a fresh
// `walk`, reading them through `buffer`, up to the first scan's data or to
// what shows that the bytes are no picture. True when they lead to a frame
// and a scan: the bytes are a picture, and copy_picture can take the walk on
// from there.
bool walk_picture_header(FILE* in, StartTable* table, int count, int j, ByteBuffer* buffer, JpegWalk* walk);

#endif
