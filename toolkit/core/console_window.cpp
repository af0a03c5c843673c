// The console window itself, apart from the rest of the platform layer so
// that a test can stand in for it at link time: the linker takes this object
// out of the library only when nothing else defines these two functions.
#include "platform.hpp"

#if defined(_WIN32)
#include <windows.h>
#endif

unsigned long console_processes() {
#if defined(_WIN32)
    // The whole count is returned even when the list does not fit.
    DWORD list[2];
    return GetConsoleProcessList(list, 2);
#else
    return 0;  // a terminal outlives the programs it runs
#endif
}

void wait_for_enter() {
    int c = 0;
    while ((c = getchar()) != EOF && c != '\n') {
    }
}
