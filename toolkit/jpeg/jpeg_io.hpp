// Decoding JPEG streams and encoding the tools' output through libjpeg, a
// group of rows at a time. The library's standard error manager is kept, with
// its messages sent to standard error under the tool's name and the input
// they concern: a warning is printed and decoding goes on, a fatal error
// prints its message and ends the process.
#ifndef STEREO_TOOLKIT_JPEG_IO_HPP
#define STEREO_TOOLKIT_JPEG_IO_HPP

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

// A decompressor and its error manager; the library's structure points at
// the error manager, so neither may move. Destroyed with its owner.
struct JpegReader {
    JpegReader() = default;
    JpegReader(const JpegReader&) = delete;
    JpegReader& operator=(const JpegReader&) = delete;
    ~JpegReader();
    jpeg_decompress_struct cinfo{};
    jpeg_error_mgr jerr{};
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
    jpeg_error_mgr jerr{};
    bool created = false;
    std::string name;
    FilePtr file;
};

// Reads the header of the JPEG stream at the current position of `in` and
// describes the picture as the library decodes it with its default settings
// (no parameter is changed). Nothing of the picture's size is allocated yet.
// `arg` names the input in the library's messages and must outlive `reader`.
void read_jpeg_header(FILE* in, const char* arg, JpegReader* reader, HeaderRecord* header);

// Starts decoding; then read_jpeg_rows decodes the next `count` rows into the
// rows that `rows` points at, and finish_jpeg_read ends the picture.
void start_jpeg_read(JpegReader* reader);
void read_jpeg_rows(JpegReader* reader, JSAMPARRAY rows, JDIMENSION count);
void finish_jpeg_read(JpegReader* reader);

// Creates `filename` and starts a baseline JPEG of quality 95 of the
// picture `header` describes (RGB, everything else the library's defaults).
// Returns 1, or -1 when the file cannot be created (said on standard output,
// with the reason on standard error). Until finish_jpeg_file, the output is
// removed if the process is stopped or a fatal library error ends it.
int write_jpeg_file(const HeaderRecord& header, const std::string& filename, const char* arg,
                    JpegWriter* writer);

// Encodes the next `count` rows, those that `rows` points at (the library
// reads them without changing them).
void write_jpeg_rows(JpegWriter* writer, JSAMPARRAY rows, JDIMENSION count);

// Ends the picture and closes the file. Returns 1, or -1 when its last bytes
// cannot be stored (the incomplete file is then removed and the failure
// reported).
int finish_jpeg_file(JpegWriter* writer);

#ifdef FUZZING_BUILD_MODE_UNSAFE_FOR_PRODUCTION
#include <csetjmp>
// FUZZING BUILD ONLY: never in the shipped tools, which keep the library's
// standard error exit. A fuzzer must survive a fatal library error to go on
// with the next input, the way libjpeg-turbo's own fuzz targets do: while
// this points at a jmp_buf, a fatal error prints its message as usual and
// then longjmps there instead of ending the process. Between that setjmp and
// the library, no frame may hold an object with a destructor (the jump would
// skip it); the pipeline's state therefore lives in a StereoRows owned
// outside the jump, whose destructor then releases everything and removes
// the unfinished output. Null: the standard exit.
extern std::jmp_buf* fuzzing_fatal_error_return;
#endif

#endif
