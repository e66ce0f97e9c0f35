/* Preloaded into the program by the command line's crash tests: SIGKILLs the process at a
 * chosen point of its work, with no test code in the program itself.
 *
 *   NORVANE_KILL_PLACED=SUFFIX   right after a file whose path ends with SUFFIX was put in
 *                                place (rename, renameat, renameat2, link, linkat succeeded)
 *   NORVANE_KILL_WRITE=NAME      before a write() to a file whose path ends with NAME ...
 *   NORVANE_KILL_WRITE_HAS=A|B   ... when the bytes written contain every one of A, B, ...
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/uio.h>
#include <unistd.h>

static int ends_with(const char* text, const char* suffix) {
    size_t a = strlen(text), b = strlen(suffix);
    return b && a >= b && strcmp(text + a - b, suffix) == 0;
}

static void placed(int result, const char* path) {
    const char* suffix = getenv("NORVANE_KILL_PLACED");
    if (result == 0 && suffix && path && ends_with(path, suffix)) kill(getpid(), SIGKILL);
}

static int contains_all(const char* data, size_t size, const char* wanted) {
    char list[1024];
    snprintf(list, sizeof list, "%s", wanted);
    for (char* save = NULL, *part = strtok_r(list, "|", &save); part; part = strtok_r(NULL, "|", &save))
        if (!memmem(data, size, part, strlen(part))) return 0;
    return 1;
}

static void writing(int fd, const void* data, size_t size) {
    const char* name = getenv("NORVANE_KILL_WRITE");
    const char* wanted = getenv("NORVANE_KILL_WRITE_HAS");
    if (!name || !wanted || !size) return;
    char link[64], path[PATH_MAX];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = readlink(link, path, sizeof path - 1);
    if (n <= 0) return;
    path[n] = 0;
    if (ends_with(path, name) && contains_all(data, size, wanted)) kill(getpid(), SIGKILL);
}

#define REAL(name)                                \
    static __typeof__(name)* real = NULL;         \
    if (!real) real = (__typeof__(name)*)dlsym(RTLD_NEXT, #name)

int rename(const char* from, const char* to) {
    REAL(rename);
    int r = real(from, to);
    placed(r, to);
    return r;
}

int renameat(int a, const char* from, int b, const char* to) {
    REAL(renameat);
    int r = real(a, from, b, to);
    placed(r, to);
    return r;
}

int renameat2(int a, const char* from, int b, const char* to, unsigned int flags) {
    REAL(renameat2);
    int r = real(a, from, b, to, flags);
    placed(r, to);
    return r;
}

int link(const char* from, const char* to) {
    REAL(link);
    int r = real(from, to);
    placed(r, to);
    return r;
}

int linkat(int a, const char* from, int b, const char* to, int flags) {
    REAL(linkat);
    int r = real(a, from, b, to, flags);
    placed(r, to);
    return r;
}

ssize_t write(int fd, const void* data, size_t size) {
    REAL(write);
    writing(fd, data, size);
    return real(fd, data, size);
}

ssize_t writev(int fd, const struct iovec* parts, int count) {
    REAL(writev);
    for (int i = 0; i < count; ++i) writing(fd, parts[i].iov_base, parts[i].iov_len);
    return real(fd, parts, count);
}
