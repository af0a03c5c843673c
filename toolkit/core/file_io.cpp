#include "file_io.hpp"

#include <new>
#include <stdexcept>

#include "jpeg_walk.hpp"

bool allocate_buffer(ByteBuffer* buffer, size_t bytes) {
    try {
        buffer->resize(bytes);
    } catch (const std::bad_alloc&) {
        return false;
    } catch (const std::length_error&) {
        return false;
    }
    return true;
}

bool copy_bytes(FILE* in, long long begin, long long length, FILE* out, ByteBuffer* buffer, JpegWalk* walk) {
    if (seek_file(in, begin, SEEK_SET) != 0) return true;
    long long remaining = length;
    long long copied = 0;
    while (length < 0 || remaining > 0) {
        size_t want = buffer->size();
        if (length >= 0 && static_cast<unsigned long long>(remaining) < want) {
            want = static_cast<size_t>(remaining);
        }
        const size_t got = fread(buffer->data(), 1, want, in);
        if (walk != nullptr) walk_jpeg_chunk(walk, copied, buffer->data(), got);
        copied += static_cast<long long>(got);
        if (got > 0 && fwrite(buffer->data(), 1, got, out) != got) return false;
        if (got < want) break;
        remaining -= static_cast<long long>(got);
    }
    return true;
}
