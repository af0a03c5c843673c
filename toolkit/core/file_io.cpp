#include "file_io.hpp"

#include <new>

#if !defined(_WIN32)
#include <fcntl.h>
#include <unistd.h>
#endif

#if !defined(_WIN32)
namespace {

// Opening a FIFO waits for the other end unless O_NONBLOCK is given; with it,
// an input opens at once and an output without a reader fails at once.
// Reads and writes then block as usual again.
FILE* open_without_waiting(const char* path, int flags, const char* mode) {
    const int fd = open(path, flags | O_NONBLOCK, 0666);
    if (fd < 0) return nullptr;
    const int status = fcntl(fd, F_GETFL);
    FILE* f = status == -1 || fcntl(fd, F_SETFL, status & ~O_NONBLOCK) == -1 ? nullptr : fdopen(fd, mode);
    if (f == nullptr) close(fd);
    return f;
}

}  // namespace
#endif

FILE* open_input(const char* path) {
#if defined(_WIN32)
    return fopen(path, "rb");
#else
    return open_without_waiting(path, O_RDONLY, "rb");
#endif
}

FILE* open_output(const char* path) {
#if defined(_WIN32)
    return fopen(path, "wb");
#else
    return open_without_waiting(path, O_WRONLY | O_CREAT | O_TRUNC, "wb");
#endif
}

bool make_copy_buffer(std::vector<unsigned char>* buffer) {
    try {
        buffer->resize(kCopyChunk);
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

bool copy_bytes(FILE* in, long long begin, long long length, FILE* out, std::vector<unsigned char>* buffer) {
    if (seek_file(in, begin, SEEK_SET) != 0) return true;
    long long remaining = length;
    while (length < 0 || remaining > 0) {
        size_t want = buffer->size();
        if (length >= 0 && static_cast<unsigned long long>(remaining) < want) {
            want = static_cast<size_t>(remaining);
        }
        const size_t got = fread(buffer->data(), 1, want, in);
        if (got > 0 && fwrite(buffer->data(), 1, got, out) != got) return false;
        if (got < want) break;
        remaining -= static_cast<long long>(got);
    }
    return true;
}
