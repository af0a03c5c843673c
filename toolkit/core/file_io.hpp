// Small helpers around stdio streams shared by the whole toolkit.
#ifndef STEREO_TOOLKIT_FILE_IO_HPP
#define STEREO_TOOLKIT_FILE_IO_HPP

#include <cstddef>
#include <cstdio>
#include <memory>
#include <new>
#include <utility>
#include <vector>

#include "platform.hpp"

struct JpegWalk;  // jpeg_walk.hpp

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

// Buffers that are always written before they are read need not be zeroed
// first: a fresh block of a megabyte or more comes straight from the system,
// and zeroing it would touch every page of it even when a small picture
// uses a few.
template <typename T>
struct UninitializedAllocator : std::allocator<T> {
    template <typename U>
    struct rebind {
        using other = UninitializedAllocator<U>;
    };
    UninitializedAllocator() = default;
    template <typename U>
    UninitializedAllocator(const UninitializedAllocator<U>&) noexcept {}
    template <typename U>
    void construct(U* p) noexcept {
        ::new (static_cast<void*>(p)) U;
    }
    template <typename U, typename... Args>
    void construct(U* p, Args&&... args) {
        ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }
};
using ByteBuffer = std::vector<unsigned char, UninitializedAllocator<unsigned char>>;

// Sizes `buffer` to `bytes`; false when the memory cannot be had.
bool allocate_buffer(ByteBuffer* buffer, size_t bytes);

// Copies `length` bytes of `in`, starting at offset `begin`, to `out`
// through `buffer` (whose size sets the chunk), or up to the end of the input
// when `length` is negative. A short read ends the copy with the bytes that
// were read. When `walk` is given, the bytes copied are walked as a JPEG
// picture's (jpeg_walk.hpp) as they pass. Returns false when a write fails.
bool copy_bytes(FILE* in, long long begin, long long length, FILE* out, ByteBuffer* buffer,
                JpegWalk* walk = nullptr);

// Pictures are copied through a buffer of at most this size rather than one
// of the picture's size: the bytes are the same, and memory stays small
// whatever the camera.
constexpr size_t kCopyChunk = size_t{1} << 20;

#endif
