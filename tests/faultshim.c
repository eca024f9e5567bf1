/* Test-only LD_PRELOAD library: injects faults into read() and readv() on the file named
 * by VORN_FAULT_PATH, through the real system calls, and can hide its size from fstat().
 *   VORN_FAULT_EINTR=n       fail with EINTR n times before every real read
 *   VORN_FAULT_CHUNK=n       let each read return at most n bytes
 *   VORN_FAULT_EIO_AFTER=n   once n bytes were delivered, fail with EIO
 *   VORN_FAULT_EIO_TIMES=k   ... k times (default 1); reads after that work again
 *   VORN_FAULT_EIO_WHOLE=1   a read reaching past that byte fails as a whole, without the
 *                            bytes before it (as a network file system may)
 *   VORN_FAULT_SIZE_UNKNOWN=1  fstat reports size 0, as for files under /proc
 *   VORN_FAULT_STATS=file    at exit, write "EINTRs-injected real-reads largest-read" there
 */
#define _GNU_SOURCE
#undef _FILE_OFFSET_BITS /* fstat and fstat64 are both defined below, under their own names */
#include <dlfcn.h>
#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

static long env_long(const char* name, long fallback) {
    const char* v = getenv(name);
    return v != NULL && *v != '\0' ? atol(v) : fallback;
}

static long delivered;       /* bytes handed out on the target file */
static long eintr_left = -1; /* EINTR results still due before the next real read; -1: none yet */
static int eio_done;
static long eintr_injected, real_reads, largest_read; /* for VORN_FAULT_STATS */

__attribute__((destructor)) static void write_stats(void) {
    const char* path = getenv("VORN_FAULT_STATS");
    if (path == NULL) return;
    FILE* f = fopen(path, "w");
    if (f == NULL) return;
    fprintf(f, "%ld %ld %ld\n", eintr_injected, real_reads, largest_read);
    fclose(f);
}

static int is_target(int fd) {
    const char* path = getenv("VORN_FAULT_PATH");
    if (path == NULL) return 0;
    char link[64], target[PATH_MAX];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = readlink(link, target, sizeof target - 1);
    if (n < 0) return 0;
    target[n] = '\0';
    return strcmp(target, path) == 0;
}

/* Decides the fate of a read of up to n bytes: -1 with errno set, or the allowed size. */
static ssize_t allow(int fd, size_t n) {
    if (!is_target(fd)) return (ssize_t)n;
    if (eintr_left < 0) eintr_left = env_long("VORN_FAULT_EINTR", 0);
    if (eintr_left > 0) {
        --eintr_left;
        ++eintr_injected;
        errno = EINTR;
        return -1;
    }
    eintr_left = env_long("VORN_FAULT_EINTR", 0);
    long chunk = env_long("VORN_FAULT_CHUNK", 0);
    if (chunk > 0 && n > (size_t)chunk) n = (size_t)chunk;
    long eio_after = env_long("VORN_FAULT_EIO_AFTER", -1);
    long reach = env_long("VORN_FAULT_EIO_WHOLE", 0) ? delivered + (long)n : delivered + 1;
    if (eio_after >= 0 && reach > eio_after && eio_done < env_long("VORN_FAULT_EIO_TIMES", 1)) {
        ++eio_done;
        errno = EIO;
        return -1;
    }
    if (eio_after >= 0 && delivered < eio_after && n > (size_t)(eio_after - delivered))
        n = (size_t)(eio_after - delivered);
    ++real_reads;
    if ((long)n > largest_read) largest_read = (long)n;
    return (ssize_t)n;
}

static void count(int fd, ssize_t r) {
    if (r > 0 && is_target(fd)) delivered += r;
}

ssize_t read(int fd, void* buf, size_t n) {
    static ssize_t (*real)(int, void*, size_t);
    if (real == NULL) real = (ssize_t(*)(int, void*, size_t))dlsym(RTLD_NEXT, "read");
    ssize_t allowed = allow(fd, n);
    if (allowed < 0) return -1;
    ssize_t r = real(fd, buf, (size_t)allowed);
    count(fd, r);
    return r;
}

ssize_t readv(int fd, const struct iovec* iov, int iovcnt) {
    static ssize_t (*real)(int, const struct iovec*, int);
    if (real == NULL) real = (ssize_t(*)(int, const struct iovec*, int))dlsym(RTLD_NEXT, "readv");
    size_t total = 0;
    for (int i = 0; i < iovcnt; ++i) total += iov[i].iov_len;
    ssize_t allowed = allow(fd, total);
    if (allowed < 0) return -1;
    struct iovec cut[16];
    if (iovcnt > 16) iovcnt = 16;
    size_t left = (size_t)allowed;
    for (int i = 0; i < iovcnt; ++i) {
        cut[i] = iov[i];
        if (cut[i].iov_len > left) cut[i].iov_len = left;
        left -= cut[i].iov_len;
    }
    ssize_t r = real(fd, cut, iovcnt);
    count(fd, r);
    return r;
}

int fstat(int fd, struct stat* st) {
    static int (*real)(int, struct stat*);
    if (real == NULL) real = (int (*)(int, struct stat*))dlsym(RTLD_NEXT, "fstat");
    int r = real(fd, st);
    if (r == 0 && env_long("VORN_FAULT_SIZE_UNKNOWN", 0) && is_target(fd)) st->st_size = 0;
    return r;
}

int fstat64(int fd, struct stat64* st) {
    static int (*real)(int, struct stat64*);
    if (real == NULL) real = (int (*)(int, struct stat64*))dlsym(RTLD_NEXT, "fstat64");
    int r = real(fd, st);
    if (r == 0 && env_long("VORN_FAULT_SIZE_UNKNOWN", 0) && is_target(fd)) st->st_size = 0;
    return r;
}
