#include "platform.hpp"

#include <sys/stat.h>

#include <cstdint>

#if defined(_WIN32)
#include <windows.h>
#else
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
    FILE* f = fopen(path, "rb");
    if (f != nullptr) return f;
    // Folders cannot be opened as streams: NUL stands in, which is_regular_file refuses as Linux does.
    const DWORD attributes = GetFileAttributesA(path);
    if (attributes != INVALID_FILE_ATTRIBUTES &&
        (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) != 0) {
        return fopen("NUL", "rb");
    }
    return nullptr;
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

FILE* open_temporary() {
#if defined(_WIN32)
    // MSVCRT's tmpfile() creates its file in the root of the current drive,
    // which takes administrator rights, and its names collide between
    // processes; GetTempFileNameW creates a file of a new name in the user's
    // temporary folder, whatever characters its path has.
    wchar_t folder[MAX_PATH + 1];
    const DWORD length = GetTempPathW(MAX_PATH + 1, folder);
    if (length == 0 || length > MAX_PATH) return nullptr;
    wchar_t name[MAX_PATH];
    if (GetTempFileNameW(folder, L"mpo", 0, name) == 0) return nullptr;
    // T: temporary, kept out of the disk while the cache has room; D: deleted
    // on close, also when the process ends in any other way.
    FILE* f = _wfopen(name, L"w+bTD");
    if (f == nullptr) DeleteFileW(name);
    return f;
#else
    return tmpfile();
#endif
}

bool is_regular_file(FILE* f) {
#if defined(_WIN32)
    struct _stat64 st;
    return _fstat64(_fileno(f), &st) == 0 && (st.st_mode & _S_IFMT) == _S_IFREG;
#else
    struct stat st;
    return fstat(fileno(f), &st) == 0 && S_ISREG(st.st_mode);
#endif
}

int seek_file(FILE* f, long long offset, int whence) {
#if defined(_WIN32)
    return _fseeki64(f, offset, whence);
#else
    return fseeko(f, static_cast<off_t>(offset), whence);
#endif
}

long long tell_file(FILE* f) {
#if defined(_WIN32)
    return _ftelli64(f);
#else
    return static_cast<long long>(ftello(f));
#endif
}

size_t physical_memory() {
#if defined(_WIN32)
    MEMORYSTATUSEX status;
    status.dwLength = sizeof status;
    if (!GlobalMemoryStatusEx(&status)) return SIZE_MAX;
    return status.ullTotalPhys > SIZE_MAX ? SIZE_MAX : static_cast<size_t>(status.ullTotalPhys);
#else
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long page_size = sysconf(_SC_PAGE_SIZE);
    if (pages <= 0 || page_size <= 0) return SIZE_MAX;  // unknown: let the allocation decide
    if (static_cast<unsigned long>(pages) > SIZE_MAX / static_cast<unsigned long>(page_size)) return SIZE_MAX;
    return static_cast<size_t>(pages) * static_cast<size_t>(page_size);
#endif
}
