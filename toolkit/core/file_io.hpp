// Small helpers around stdio streams shared by the whole toolkit.
#ifndef STEREO_TOOLKIT_FILE_IO_HPP
#define STEREO_TOOLKIT_FILE_IO_HPP

#include <sys/stat.h>

#include <cstddef>
#include <cstdio>
#include <memory>
#include <vector>

// Closes the stream when its owner goes out of scope, so that every early
// return releases what it opened. A stream whose close must be checked (an
// output) is released with close_file instead; an input's close has nothing
// to report.
struct FileCloser {
    void operator()(FILE* f) const {
        if (f != nullptr) (void)fclose(f);
    }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

// Closes the stream and reports whether everything buffered reached the file.
inline bool close_file(FilePtr* file) {
    return fclose(file->release()) == 0;
}

// Directories, devices and pipes can be opened like files, but have no size
// that the start offsets could describe, and some never end.
#if defined(_WIN32)
inline bool is_regular_file(FILE* f) {
    struct _stat64 st;
    return _fstat64(_fileno(f), &st) == 0 && (st.st_mode & _S_IFMT) == _S_IFREG;
}
#else
inline bool is_regular_file(FILE* f) {
    struct stat st;
    return fstat(fileno(f), &st) == 0 && S_ISREG(st.st_mode);
}
#endif

// 64-bit seek and tell: sizes and offsets of 2 GiB and more must be seen as
// such, not wrapped, even where `long` has 32 bits.
#if defined(_WIN32)
inline int seek_file(FILE* f, long long offset, int whence) {
    return _fseeki64(f, offset, whence);
}
inline long long tell_file(FILE* f) {
    return _ftelli64(f);
}
#else
inline int seek_file(FILE* f, long long offset, int whence) {
    return fseeko(f, static_cast<off_t>(offset), whence);
}
inline long long tell_file(FILE* f) {
    return static_cast<long long>(ftello(f));
}
#endif

// Opens an input for reading like fopen(path, "rb"), but without waiting for
// a writer when the path names a FIFO: the batch must get past such an
// argument and refuse it as not a regular file, not hang on it.
FILE* open_input(const char* path);

// Creates or replaces an output like fopen(path, "wb"), but fails at once
// instead of waiting for a reader when the path names a FIFO.
FILE* open_output(const char* path);

// Copies `length` bytes of `in`, starting at offset `begin`, to `out`
// through `buffer` (whose size sets the chunk), or up to the end of the input
// when `length` is negative. A short read ends the copy with the bytes that
// were read. Returns false when a write fails.
bool copy_bytes(FILE* in, long long begin, long long length, FILE* out, std::vector<unsigned char>* buffer);

// Pictures are copied through a buffer of this size rather than one of the
// picture's size: the bytes are the same, and memory stays small whatever
// the camera.
constexpr size_t kCopyChunk = size_t{1} << 20;

// Sizes `buffer` to kCopyChunk; false when the memory cannot be had.
bool make_copy_buffer(std::vector<unsigned char>* buffer);

#endif
