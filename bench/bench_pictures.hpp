// The JPEG work every tool has to do, done as directly as libjpeg allows: the
// whole file in memory, views decoded straight into their place, outputs
// encoded with the tools' settings. bench_floor is built from these, and
// bench_micro uses them to get realistic pixels.
#ifndef STEREO_BENCH_PICTURES_HPP
#define STEREO_BENCH_PICTURES_HPP

#include <cstddef>
#include <cstdio>
#include <memory>
#include <vector>

#include <jpeglib.h>

// A buffer whose bytes are all written before they are read, so not zeroed:
// zeroing some 30 MB would add a pass the tools are not meant to pay either.
struct Buffer {
    std::unique_ptr<unsigned char[]> data;
    size_t size = 0;
};

Buffer make_buffer(size_t size);

// The whole of `path` in one read; false (with errno set) on failure.
bool read_whole_file(const char* path, Buffer* file);

// One picture of a multi-picture file.
struct Extent {
    const unsigned char* data = nullptr;
    size_t size = 0;
};

// The pictures of a well-formed MPO in file order: every FF D8 FF that is not
// inside a picture's header segments (where thumbnails live) opens a picture,
// which runs to the next one or to the end of the file. Entropy-coded data
// cannot hold FF D8, so a byte search does the rest.
std::vector<Extent> find_pictures(const unsigned char* data, size_t size);

// A decompressor over one picture in memory, header read, nothing decoded yet.
// Fatal library errors end the process (standard error manager), as in the
// tools. Not to be moved or copied once opened.
struct ViewDecoder {
    jpeg_decompress_struct cinfo;
    jpeg_error_mgr jerr;
};

// False, with the decoder released, when the picture would not decode to RGB.
bool open_view(ViewDecoder* decoder, const Extent& picture);

// Decodes with the library's default settings, row y going to
// first_row + y * stride, then releases the decoder.
void decode_view(ViewDecoder* decoder, unsigned char* first_row, size_t stride);

// Compresses a width x height RGB raster exactly as the tools' write_jpeg_file
// does (defaults, quality 95 with baseline tables), through a compressor
// whose destination is already set.
void compress_rgb(jpeg_compress_struct* cinfo, const unsigned char* raster, JDIMENSION width,
                  JDIMENSION height);

// compress_rgb into a new file; false when it cannot be created or completed.
bool encode_to_file(const char* path, const unsigned char* raster, JDIMENSION width, JDIMENSION height);

// compress_rgb into memory; returns the size of the stream.
size_t encode_to_memory(const unsigned char* raster, JDIMENSION width, JDIMENSION height);

#endif
