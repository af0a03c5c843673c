// Decoding JPEG streams and encoding the tools' output through libjpeg, a
// group of rows at a time. The library's standard error manager is kept, with
// its messages sent to standard error under the tool's name and the input
// they concern: a warning is printed and decoding goes on. A fatal error
// prints its message and returns to the caller's setjmp, so that one damaged
// file ends only itself and the batch goes on with the next.
#ifndef STEREO_TOOLKIT_JPEG_IO_HPP
#define STEREO_TOOLKIT_JPEG_IO_HPP

#include <csetjmp>
#include <cstddef>
#include <cstdio>
#include <string>

#include <jpeglib.h>

#include "file_io.hpp"

// Every output is written at this quality with baseline tables: high enough
// that re-encoding a camera picture loses nothing visible, and what viewers
// of stereo pictures expect from these tools.
constexpr int kJpegQuality = 95;

// The geometry that travels from the decoder to the encoder.
struct HeaderRecord {
    JDIMENSION image_width = 0;
    JDIMENSION image_height = 0;
    int num_components = 0;  // samples per pixel as decoded
};

// The library's error manager, and where a fatal error returns to: the
// `fatal_error` of a setjmp in a frame that is still running, between which
// and the library no frame owns anything with a destructor (the longjmp would
// skip it). Whatever the library's objects hold is released by their owners'
// destructors, after the jump. Null keeps the library's standard exit, which
// ends the process; no tool uses it.
struct JpegErrors {
    jpeg_error_mgr manager{};  // first: the library's pointer to it leads to the rest
    std::jmp_buf* fatal_error = nullptr;
};

// Gives the library object `cinfo`, before it is created, the error manager
// above: messages under the tool's name and `arg`, fatal errors back to
// `fatal_error`. For compressors and decompressors that the tools set up
// themselves.
void use_error_manager(j_common_ptr cinfo, const char* arg, std::jmp_buf* fatal_error, JpegErrors* errors);

// A decompressor and its error manager; the library's structure points at
// the error manager, so neither may move. Destroyed with its owner.
struct JpegReader {
    JpegReader() = default;
    JpegReader(const JpegReader&) = delete;
    JpegReader& operator=(const JpegReader&) = delete;
    ~JpegReader();
    jpeg_decompress_struct cinfo{};
    JpegErrors errors;
    bool created = false;
};

// A compressor with its error manager and the output it writes. Should it go
// before finish_jpeg_file, the unfinished output is removed.
struct JpegWriter {
    JpegWriter() = default;
    JpegWriter(const JpegWriter&) = delete;
    JpegWriter& operator=(const JpegWriter&) = delete;
    ~JpegWriter();
    jpeg_compress_struct cinfo{};
    JpegErrors errors;
    bool created = false;
    std::string name;
    FilePtr file;
};

// Reads the header of the JPEG stream at the current position of `in` and
// describes the picture as the library decodes it with its default settings
// (no parameter is changed). Nothing of the picture's size is allocated yet.
// `arg` names the input in the library's messages and must outlive `reader`;
// a fatal error in this or any later call on `reader` returns to
// `fatal_error` (see JpegErrors).
void read_jpeg_header(FILE* in, const char* arg, std::jmp_buf* fatal_error, JpegReader* reader,
                      HeaderRecord* header);

// Starts decoding; then read_jpeg_rows decodes the next `count` rows into the
// rows that `rows` points at, and finish_jpeg_read ends the picture.
void start_jpeg_read(JpegReader* reader);
void read_jpeg_rows(JpegReader* reader, JSAMPARRAY rows, JDIMENSION count);
void finish_jpeg_read(JpegReader* reader);

// Creates `filename` and starts a baseline JPEG of quality 95 of the
// picture `header` describes (RGB, everything else the library's defaults).
// Returns 1, or -1 when the file cannot be created (said on standard output,
// with the reason on standard error). Until finish_jpeg_file, the output is
// removed if the process is stopped, or with `writer` after a fatal library
// error, which returns to `fatal_error` as for read_jpeg_header.
int write_jpeg_file(const HeaderRecord& header, const std::string& filename, const char* arg,
                    std::jmp_buf* fatal_error, JpegWriter* writer);

// Encodes the next `count` rows, those that `rows` points at (the library
// reads them without changing them).
void write_jpeg_rows(JpegWriter* writer, JSAMPARRAY rows, JDIMENSION count);

// Ends the picture and closes the file. Returns 1, or -1 when its last bytes
// cannot be stored (the incomplete file is then removed and the failure
// reported).
int finish_jpeg_file(JpegWriter* writer);

#endif
