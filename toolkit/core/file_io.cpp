#include "file_io.hpp"

#if !defined(_WIN32)
#include <fcntl.h>
#include <unistd.h>
#endif

FILE* open_input(const char* path) {
#if defined(_WIN32)
    return fopen(path, "rb");
#else
    const int fd = open(path, O_RDONLY | O_NONBLOCK);
    if (fd < 0) return nullptr;
    // Reads then block as usual again.
    const int flags = fcntl(fd, F_GETFL);
    FILE* f = flags == -1 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == -1 ? nullptr : fdopen(fd, "rb");
    if (f == nullptr) close(fd);
    return f;
#endif
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
