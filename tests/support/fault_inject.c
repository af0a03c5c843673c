/* Faults for the built programs, loaded into them with LD_PRELOAD by the
 * hardening tests: a temporary file that cannot be created and memory that
 * cannot be had, without filling a disk or the machine's memory.
 *
 *   FAULT_TMPFILE_FAIL=N     call N of tmpfile (counting from 1) fails; "all": every call
 *   FAULT_ALLOC_LIMIT=BYTES  allocations of more than BYTES are "large"
 *   FAULT_ALLOC_FAIL=N       large allocation N fails; "all" (the default): every one
 *   FAULT_CLOSE_OUTPUTS=1    closing a write-only stream (an output) fails after the
 *                            stream is really closed, as when a file system only
 *                            reports the loss of the last bytes at close
 *
 * Failing calls return NULL with errno set, as the C library's do. operator
 * new takes its memory from malloc, so it then throws std::bad_alloc.
 * Allocations are forwarded to glibc's own entry points, which this library
 * therefore needs. */

/* An interposer defines the C library's own names, with its own parameter
 * names, and calls its reserved entry points.
 * NOLINTBEGIN(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)
 * NOLINTBEGIN(readability-inconsistent-declaration-parameter-name) */

/* tmpfile and tmpfile64 are defined one by one below; the header must not
 * turn one into the other. */
#undef _FILE_OFFSET_BITS
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <stdio_ext.h>
#include <stdlib.h>
#include <string.h>

void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* pointer, size_t size);
void* __libc_memalign(size_t alignment, size_t size);

/* Whether the call just counted in *calls is one that `variable` (N or "all")
 * makes fail; `fallback` stands for an unset variable. */
static int is_chosen(const char* variable, const char* fallback, long* calls) {
    const char* value = getenv(variable);
    if (value == NULL || *value == '\0') value = fallback;
    if (value == NULL) return 0;
    ++*calls;
    if (strcmp(value, "all") == 0) return 1;
    return strtol(value, NULL, 10) == *calls;
}

/* getenv reads the environment in place, so it is safe inside malloc. */
static int allocation_fails(size_t size) {
    static long large_calls = 0;
    const char* limit = getenv("FAULT_ALLOC_LIMIT");
    if (limit == NULL || *limit == '\0' || size <= strtoull(limit, NULL, 10)) return 0;
    if (!is_chosen("FAULT_ALLOC_FAIL", "all", &large_calls)) return 0;
    errno = ENOMEM;
    return 1;
}

void* malloc(size_t size) {
    return allocation_fails(size) ? NULL : __libc_malloc(size);
}

void* calloc(size_t count, size_t size) {
    const size_t total = size != 0 && count > SIZE_MAX / size ? SIZE_MAX : count * size;
    return allocation_fails(total) ? NULL : __libc_calloc(count, size);
}

void* realloc(void* pointer, size_t size) {
    return allocation_fails(size) ? NULL : __libc_realloc(pointer, size);
}

void* memalign(size_t alignment, size_t size) {
    return allocation_fails(size) ? NULL : __libc_memalign(alignment, size);
}

void* aligned_alloc(size_t alignment, size_t size) {
    return allocation_fails(size) ? NULL : __libc_memalign(alignment, size);
}

int posix_memalign(void** result, size_t alignment, size_t size) {
    if (alignment < sizeof(void*) || (alignment & (alignment - 1)) != 0) return EINVAL;
    if (allocation_fails(size)) return ENOMEM;
    void* pointer = __libc_memalign(alignment, size);
    if (pointer == NULL) return ENOMEM;
    *result = pointer;
    return 0;
}

typedef FILE* (*TmpfileFunction)(void);

static FILE* fake_tmpfile(const char* real_name) {
    static long calls = 0;
    if (is_chosen("FAULT_TMPFILE_FAIL", NULL, &calls)) {
        errno = ENOSPC;
        return NULL;
    }
    /* Through a union rather than a cast: ISO C has no conversion from an
     * object pointer to a function pointer. */
    union {
        void* object;
        TmpfileFunction function;
    } real;
    real.object = dlsym(RTLD_NEXT, real_name);
    if (real.object == NULL) {
        errno = ENOSYS;
        return NULL;
    }
    return real.function();
}

FILE* tmpfile(void) {
    return fake_tmpfile("tmpfile");
}

FILE* tmpfile64(void) {
    return fake_tmpfile("tmpfile64");
}

typedef int (*FcloseFunction)(FILE*);

int fclose(FILE* stream) {
    union {
        void* object;
        FcloseFunction function;
    } real;
    real.object = dlsym(RTLD_NEXT, "fclose");
    if (real.object == NULL) {
        errno = ENOSYS;
        return EOF;
    }
    const char* outputs = getenv("FAULT_CLOSE_OUTPUTS");
    const int fails = outputs != NULL && *outputs != '\0' && !__freadable(stream);
    const int result = real.function(stream);
    if (!fails) return result;
    errno = EIO;
    return EOF;
}

/* NOLINTEND(readability-inconsistent-declaration-parameter-name)
 * NOLINTEND(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp) */
