#include "platform.hpp"

#include <fcntl.h>
#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdlib>

#if defined(_WIN32)
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

#if defined(_WIN32)
// cmd and PowerShell hand wildcards such as *.mpo to the program as typed,
// where a POSIX shell expands them: MinGW-w64's startup code expands them as
// Windows programs do, when asked through this variable. A pattern that
// matches nothing stays as it is, and a quoted one is not expanded.
extern "C" {
int _dowildcard = -1;
}
#endif

namespace {

// Removing a file by name is safe inside a signal handler; remove() is not
// (and would take a folder of the same name too).
void remove_file(const char* name) {
#if defined(_WIN32)
    (void)_unlink(name);
#else
    (void)unlink(name);
#endif
}

// Read and cleared in one step by the signal handler, so it must never take
// a lock.
std::atomic<const char*> g_watched_output{nullptr};
static_assert(std::atomic<const char*>::is_always_lock_free, "a signal handler reads the watched output");

void remove_watched_output() {
    const char* name = g_watched_output.exchange(nullptr);
    if (name != nullptr) remove_file(name);
}

extern "C" void on_stop_signal(int signal_number) {
    remove_watched_output();
    (void)signal(signal_number, SIG_DFL);
    (void)raise(signal_number);  // delivered as the handler returns
}

// Windows has no SIGHUP: a console window that is closed ends the program
// without a signal it could catch. Its C library raises SIGBREAK for
// Ctrl-Break as it raises SIGINT for Ctrl-C.
#if defined(SIGHUP)
constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};
#else
constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGBREAK};
#endif

void install_output_cleanup() {
    static const bool installed = [] {
        for (const int signal_number : kStopSignals) {
            // A signal ignored by whoever started the tool (nohup) stays ignored.
            if (signal(signal_number, on_stop_signal) == SIG_IGN) (void)signal(signal_number, SIG_IGN);
        }
        return true;
    }();
    (void)installed;
}

}  // namespace

void watch_output(const char* name) {
    install_output_cleanup();
    g_watched_output.store(name);
}

void release_output() {
    g_watched_output.store(nullptr);
}

void discard_output() {
    remove_watched_output();
}

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

#if defined(__EMSCRIPTEN__)
namespace {

// Emscripten's in-memory file system, in which the page's outputs are
// written, copies a file whole whenever a write takes it past its room, which
// then grows by an eighth (doubles below 1 MiB): libjpeg's writes of 4 KiB
// copied a 4 MB picture some twenty times over, 5 to 8 % of the page's time
// for a 10 MP pair. Written 1 MiB at a time, it is copied a few times. One
// output is open at a time (the watched one), so one buffer serves them all.
constexpr size_t kMemoryFileWrite = size_t{1} << 20;

void buffer_output(FILE* f) {
    static char buffer[kMemoryFileWrite];
    (void)setvbuf(f, buffer, _IOFBF, sizeof buffer);
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
    // Shared for deletion: Windows removes no open file otherwise, and Ctrl-C
    // is handled on a thread of its own while the output is still open.
    const HANDLE handle =
        CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                    CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return fopen(path, "wb");  // fails alike, and sets errno
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_WRONLY | _O_BINARY);
    if (fd == -1) {
        CloseHandle(handle);
        return nullptr;
    }
    FILE* f = _fdopen(fd, "wb");
    if (f == nullptr) (void)_close(fd);
    return f;
#else
    FILE* f = open_without_waiting(path, O_WRONLY | O_CREAT | O_TRUNC, "wb");
#if defined(__EMSCRIPTEN__)
    if (f != nullptr) buffer_output(f);
#endif
    return f;
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
    if (length == 0 || length > MAX_PATH) {
        errno = ENAMETOOLONG;
        return nullptr;
    }
    wchar_t name[MAX_PATH];
    if (GetTempFileNameW(folder, L"mpo", 0, name) == 0) {
        // The caller reports errno, which Windows' own calls leave alone.
        const DWORD error = GetLastError();
        errno = error == ERROR_ACCESS_DENIED ? EACCES : error == ERROR_DISK_FULL ? ENOSPC : ENOENT;
        return nullptr;
    }
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

#if defined(_WIN32)
namespace {

UINT g_console_code_page = 0;

void restore_console() {
    (void)fflush(stdout);  // what is still buffered is shown in its code page too
    (void)SetConsoleOutputCP(g_console_code_page);
}

}  // namespace
#endif

void prepare_console() {
    static const bool prepared = [] {
#if defined(_WIN32)
        // The Windows C library takes line buffering for full buffering: no
        // buffer is the nearest to it.
        (void)setvbuf(stdout, nullptr, _IONBF, 0);
        // File names reach the messages in the process's code page (UTF-8 by
        // the manifest, where Windows honours it), which a console shows as
        // such only in that code page, not in its own (an OEM one). The
        // console is the user's shell's too: its code page is set back at exit.
        const UINT messages = GetACP();
        g_console_code_page = GetConsoleOutputCP();  // 0: no console
        if (g_console_code_page != 0 && g_console_code_page != messages && SetConsoleOutputCP(messages)) {
            (void)atexit(restore_console);
        }
#else
        (void)setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
#endif
        return true;
    }();
    (void)prepared;
}

bool keeps_console_window(unsigned long console_processes, bool files_given, bool all_converted) {
    return console_processes == 1 && (!files_given || !all_converted);
}

size_t usable_memory() {
#if defined(_WIN32)
    MEMORYSTATUSEX status;
    status.dwLength = sizeof status;
    if (!GlobalMemoryStatusEx(&status)) return SIZE_MAX;
    // ullTotalVirtual: the user part of this process's address space.
    const DWORDLONG usable =
        status.ullTotalVirtual < status.ullTotalPhys ? status.ullTotalVirtual : status.ullTotalPhys;
    return usable > SIZE_MAX ? SIZE_MAX : static_cast<size_t>(usable);
#else
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long page_size = sysconf(_SC_PAGE_SIZE);
    if (pages <= 0 || page_size <= 0) return SIZE_MAX;  // unknown: let the allocation decide
    if (static_cast<unsigned long>(pages) > SIZE_MAX / static_cast<unsigned long>(page_size)) return SIZE_MAX;
    return static_cast<size_t>(pages) * static_cast<size_t>(page_size);
#endif
}
