// Everything that differs between the systems the tools run on, in one
// place: how files are opened, measured and staged, how much memory a
// program may have, the console's code page and window, wildcards (expanded by
// the program on Windows) and where the manual is. The tools and the rest of
// the toolkit call only these.
#ifndef STEREO_TOOLKIT_PLATFORM_HPP
#define STEREO_TOOLKIT_PLATFORM_HPP

#include <cstddef>
#include <cstdio>

// Opens an input for reading like fopen(path, "rb"), but without waiting for
// a writer when the path names a FIFO: the batch must get past such an
// argument and refuse it as not a regular file, not hang on it.
FILE* open_input(const char* path);

// Creates or replaces an output like fopen(path, "wb"), but fails at once
// instead of waiting for a reader when the path names a FIFO.
FILE* open_output(const char* path);

// A new anonymous temporary file, opened for update in binary mode and gone
// once closed (or when the process ends); nullptr when none can be made.
FILE* open_temporary();

// Directories, devices and pipes can be opened like files, but have no size
// that the start offsets could describe, and some never end.
bool is_regular_file(FILE* f);

// 64-bit seek and tell: sizes and offsets of 2 GiB and more must be seen as
// such, not wrapped, even where `long` has 32 bits.
int seek_file(FILE* f, long long offset, int whence);
long long tell_file(FILE* f);

// The next byte of a stream that only this thread uses, without the lock
// that fgetc takes for every byte; EOF at the end or on a read error.
inline int read_byte(FILE* f) {
#if defined(_WIN32)
    return _fgetc_nolock(f);
#else
    return getc_unlocked(f);
#endif
}

// The output being written. Should the process be stopped before the output
// is finished (SIGINT, SIGTERM or SIGHUP) the file is removed, so that no
// truncated picture stays behind looking like a finished one; the process
// then ends by that signal, as the shell expects. Watched before the file is
// opened, since a signal may come at any moment; `name` must stay valid until
// the output is released or discarded.
void watch_output(const char* name);
// The output is complete, or was never created: nothing is to be removed.
void release_output();
// The output is incomplete: it is removed now.
void discard_output();

// Prepares standard output for the messages, once: each line goes out as it
// is printed, also into a pipe, so that a script following the batch sees
// each file when it is done, and the lines of the files finished before an
// interrupt are not lost with a full buffer. A Windows console is also set
// to show the file names in the messages as they are (UTF-8).
void prepare_console();

// Whether the console window is to be kept open at the end of a run until
// Enter is pressed, so that its messages can be read: only when the program
// is the only process on its console, as when Explorer opened the window for
// files dropped on the program or for a double-click (a shell or a script
// shares its console and stays), and only when there is something to read:
// no file was given, or not every file was converted.
bool keeps_console_window(unsigned long console_processes, bool files_given, bool all_converted);

// The number of processes on this program's console window, this one
// included; 0 without one (a POSIX terminal, output into files or pipes).
unsigned long console_processes();

// Waits until a line is entered on standard input, or until it ends.
void wait_for_enter();

// The last line of --help, formatted with the program's name: the manual
// page where there is man, the text page beside the program on Windows. A
// literal, so that it ends the usage's printf format.
#if defined(_WIN32)
#define STEREO_MANUAL_REFERENCE "More in %s.txt beside the program.\n"
#else
#define STEREO_MANUAL_REFERENCE "More in the manual page: man %s\n"
#endif

// The memory this program may have, in bytes: the machine's physical memory,
// or the addresses a process has where they are fewer (a 32-bit Windows
// program has 2 GiB, whatever the machine holds); SIZE_MAX when it cannot be
// told.
size_t usable_memory();

#endif
