/* peak_memory OUT PROGRAM [ARGUMENTS...]
 *
 * Runs PROGRAM and writes its peak resident memory in KiB to the file OUT;
 * ends as PROGRAM ended. The tests cannot take this figure from their own
 * wait4: a child forked from the test process counts the test process's
 * resident memory as its own, even across exec, and a test process with a
 * sanitizer holds hundreds of megabytes. A program started from this small
 * process starts near zero. */
#include <signal.h>
#include <stdio.h>
#include <sys/resource.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

int main(int argc, char** argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: peak_memory OUT PROGRAM [ARGUMENTS...]\n");
        return 125;
    }
    const pid_t pid = fork();
    if (pid < 0) return 125;
    if (pid == 0) {
        execv(argv[2], argv + 2);
        _exit(127);
    }
    int status = 0;
    struct rusage usage;
    if (wait4(pid, &status, 0, &usage) != pid) return 125;
    FILE* out = fopen(argv[1], "w");
    if (out == NULL || fprintf(out, "%ld\n", usage.ru_maxrss) < 0 || fclose(out) != 0) return 125;
    if (WIFSIGNALED(status)) {
        signal(WTERMSIG(status), SIG_DFL);
        raise(WTERMSIG(status));
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 125;
}
