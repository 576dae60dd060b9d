// Loaded with LD_PRELOAD into one run of the tool: numbers every call below that can fail, in
// the order the process makes them, and either records them all or fails one of them once.
// From the environment:
//   KESTRUN_FAULT_LOG      gets "NUMBER FUNCTION ERRNOS WHAT" for every call (ERRNOS: how many
//                          errors the function may get here), or, when a call is failed, that
//                          call's line alone with the errno it got in place of ERRNOS
//   KESTRUN_FAULT_CALL     the number of the call to fail; none when unset
//   KESTRUN_FAULT_VARIANT  which of that function's errors it gets (0: the first)
// Not seen: calls the C library makes inside itself (syslog's socket, fgetpwent's reads), a
// vfork child's calls, and the programs the tool starts (they get an empty environment).
// Written in C: glibc declares many of these functions noexcept in C++.
#define _GNU_SOURCE
#undef _FORTIFY_SOURCE
#include <dirent.h>
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <limits.h>
#include <pthread.h>
#include <pwd.h>
#include <stdarg.h>
#include <stdatomic.h>
#include <stdbool.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

static atomic_long calls;
static long target;
static int variant, logFd = -1;
static pid_t self;

// The log gets a descriptor far above the tool's own, so that the tool's numbers stay as they
// are without the shim. Raw system calls: the shim's own calls are not counted.
__attribute__((constructor)) static void Start(void) {
  self = getpid();
  const char* call = getenv("KESTRUN_FAULT_CALL");
  const char* which = getenv("KESTRUN_FAULT_VARIANT");
  const char* log = getenv("KESTRUN_FAULT_LOG");
  target = call ? atol(call) : 0;
  variant = which ? atoi(which) : 0;
  if (log == NULL) return;
  const long fd =
      syscall(SYS_openat, AT_FDCWD, log, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return;
  logFd = (int)syscall(SYS_fcntl, fd, F_DUPFD_CLOEXEC, 900);
  syscall(SYS_close, fd);
}

// "folder/name" from a descriptor's path in /proc and a name relative to it.
static void Describe(char* out, size_t size, int dir, const char* path) {
  if (path != NULL && (path[0] == '/' || dir < 0)) {
    snprintf(out, size, "%s", path);
    return;
  }
  char link[64];
  snprintf(link, sizeof link, "/proc/self/fd/%d", dir);
  const long n = dir < 0 ? -1 : syscall(SYS_readlinkat, AT_FDCWD, link, out, size - 1);
  out[n > 0 ? n : 0] = '\0';
  const size_t length = strlen(out);
  if (path == NULL && length == 0) snprintf(out, size, "-");
  if (path != NULL) {
    snprintf(out + length, size - length, "%s%s", length > 0 && out[length - 1] == '/' ? "" : "/",
             path);
  }
}

// Counts one call; true, with errno set, when it is the one to fail. Otherwise errno stays as
// it was: callers read it after calls that succeed (readdir at the end of a folder).
static bool Injected(const char* name, int dir, const char* path, const int* errnos, int count) {
  if (getpid() != self) return false;
  const int saved = errno;
  const long number = atomic_fetch_add(&calls, 1) + 1;
  const bool fail = number == target;
  const int error = errnos[variant % count];
  if (logFd >= 0 && (target == 0 || fail)) {
    char what[PATH_MAX + 256], line[sizeof what + 64];
    Describe(what, sizeof what, dir, path);
    const int n =
        snprintf(line, sizeof line, "%ld %s %d %s\n", number, name, fail ? error : count, what);
    syscall(SYS_write, logFd, line, (size_t)n);
  }
  errno = fail ? error : saved;
  return fail;
}

#define REAL(name)                                                       \
  ({                                                                     \
    static __typeof__(&name) real;                                       \
    if (real == NULL) real = (__typeof__(&name))dlsym(RTLD_NEXT, #name); \
    real;                                                                \
  })
#define ERRNOS(...) ((const int[]){__VA_ARGS__}), (int)(sizeof((int[]){__VA_ARGS__}) / sizeof(int))
// A function that fails with `failed` and one of the errnos when `when` holds and its number comes.
#define WRAP_IF(when, type, name, params, args, dir, path, failed, ...)           \
  type name params {                                                              \
    if ((when) && Injected(#name, dir, path, ERRNOS(__VA_ARGS__))) return failed; \
    return REAL(name) args;                                                       \
  }
#define WRAP(...) WRAP_IF(true, __VA_ARGS__)

WRAP(ssize_t, read, (int fd, void* b, size_t n), (fd, b, n), fd, NULL, -1, EIO, EINTR)
WRAP(ssize_t, pread, (int fd, void* b, size_t n, off_t at), (fd, b, n, at), fd, NULL, -1, EIO,
     EINTR)
WRAP(ssize_t, write, (int fd, const void* b, size_t n), (fd, b, n), fd, NULL, -1, ENOSPC, EIO)
WRAP(ssize_t, pwrite, (int fd, const void* b, size_t n, off_t at), (fd, b, n, at), fd, NULL, -1,
     ENOSPC, EIO)
WRAP(ssize_t, copy_file_range, (int in, loff_t* i, int out, loff_t* o, size_t n, unsigned f),
     (in, i, out, o, n, f), out, NULL, -1, ENOSPC, EIO)
WRAP(int, fsync, (int fd), (fd), fd, NULL, -1, EIO)
WRAP(int, ftruncate, (int fd, off_t size), (fd, size), fd, NULL, -1, EIO)
WRAP(int, mkdir, (const char* p, mode_t m), (p, m), -1, p, -1, ENOSPC, EACCES)
WRAP(int, mkdirat, (int d, const char* p, mode_t m), (d, p, m), d, p, -1, ENOSPC, EACCES)
WRAP(int, symlinkat, (const char* t, int d, const char* p), (t, d, p), d, p, -1, ENOSPC, EACCES)
WRAP(int, mknod, (const char* p, mode_t m, dev_t v), (p, m, v), -1, p, -1, ENOSPC)
WRAP(int, rename, (const char* p, const char* to), (p, to), -1, p, -1, ENOSPC, EIO)
WRAP(int, renameat, (int d, const char* p, int e, const char* to), (d, p, e, to), d, p, -1, ENOSPC,
     EIO)
WRAP(int, unlink, (const char* p), (p), -1, p, -1, EIO, EBUSY)
WRAP(int, unlinkat, (int d, const char* p, int f), (d, p, f), d, p, -1, EIO, EBUSY)
WRAP(int, stat, (const char* p, struct stat* s), (p, s), -1, p, -1, EIO)
WRAP(int, lstat, (const char* p, struct stat* s), (p, s), -1, p, -1, EIO)
WRAP(int, fstat, (int fd, struct stat* s), (fd, s), fd, NULL, -1, EIO)
WRAP(int, fstat64, (int fd, struct stat64* s), (fd, s), fd, NULL, -1, EIO)
WRAP(int, fstatat, (int d, const char* p, struct stat* s, int f), (d, p, s, f), d, p, -1, EIO)
WRAP(int, chmod, (const char* p, mode_t m), (p, m), -1, p, -1, EPERM)
WRAP(int, fchmod, (int fd, mode_t m), (fd, m), fd, NULL, -1, EPERM)
WRAP(int, lchown, (const char* p, uid_t u, gid_t g), (p, u, g), -1, p, -1, EPERM)
WRAP(int, fchown, (int fd, uid_t u, gid_t g), (fd, u, g), fd, NULL, -1, EPERM)
WRAP(int, fchownat, (int d, const char* p, uid_t u, gid_t g, int f), (d, p, u, g, f), d, p, -1,
     EPERM)
WRAP(int, futimens, (int fd, const struct timespec t[2]), (fd, t), fd, NULL, -1, EIO)
WRAP(int, fsetxattr, (int fd, const char* k, const void* v, size_t n, int f), (fd, k, v, n, f), fd,
     NULL, -1, ENOSPC)
WRAP(ssize_t, flistxattr, (int fd, char* l, size_t n), (fd, l, n), fd, NULL, -1, EIO)
WRAP(ssize_t, fgetxattr, (int fd, const char* k, void* v, size_t n), (fd, k, v, n), fd, NULL, -1,
     EIO)
WRAP(int, flock, (int fd, int op), (fd, op), fd, NULL, -1, EINTR, ENOLCK)
WRAP(ssize_t, readlink, (const char* p, char* b, size_t n), (p, b, n), -1, p, -1, EIO)
WRAP(ssize_t, readlinkat, (int d, const char* p, char* b, size_t n), (d, p, b, n), d, p, -1, EIO)
WRAP(int, pipe2, (int fds[2], int f), (fds, f), -1, NULL, -1, EMFILE)
WRAP(pid_t, waitpid, (pid_t pid, int* s, int o), (pid, s, o), -1, NULL, -1, EINTR)
WRAP(struct dirent*, readdir, (DIR * d), (d), dirfd(d), NULL, NULL, EIO)
WRAP(DIR*, fdopendir, (int fd), (fd), fd, NULL, NULL, EMFILE)
WRAP(FILE*, fopen, (const char* p, const char* m), (p, m), -1, p, NULL, EIO)
WRAP(FILE*, fopen64, (const char* p, const char* m), (p, m), -1, p, NULL, EIO)
WRAP(struct passwd*, fgetpwent, (FILE * f), (f), fileno(f), NULL, NULL, EIO)
WRAP(int, pthread_create, (pthread_t * t, const pthread_attr_t* a, void* (*f)(void*), void* v),
     (t, a, f, v), -1, NULL, EAGAIN, EAGAIN)
// Only switches to a user are counted: root taking its own identity back cannot fail.
WRAP_IF(u != 0, int, seteuid, (uid_t u), (u), -1, NULL, -1, EPERM)
WRAP_IF(g != 0, int, setegid, (gid_t g), (g), -1, NULL, -1, EPERM)
WRAP_IF(n == 1 && *l != 0, int, setgroups, (size_t n, const gid_t* l), (n, l), -1, NULL, -1, EPERM)

// open and openat take a mode only with O_CREAT or O_TMPFILE; only creating can run out of room.
static const int kOpenErrors[] = {EACCES, EMFILE, ENOSPC};

static mode_t ModeOf(int flags, va_list modes) {
  return (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE ? va_arg(modes, mode_t) : 0;
}

int open(const char* path, int flags, ...) {
  va_list modes;
  va_start(modes, flags);
  const mode_t mode = ModeOf(flags, modes);
  va_end(modes);
  if (Injected("open", -1, path, kOpenErrors, flags & O_CREAT ? 3 : 2)) return -1;
  return REAL(open)(path, flags, mode);
}

int openat(int dir, const char* path, int flags, ...) {
  va_list modes;
  va_start(modes, flags);
  const mode_t mode = ModeOf(flags, modes);
  va_end(modes);
  if (Injected("openat", dir, path, kOpenErrors, flags & O_CREAT ? 3 : 2)) return -1;
  return REAL(openat)(dir, path, flags, mode);
}

// Only duplications use up a descriptor.
int fcntl(int fd, int command, ...) {
  va_list args;
  va_start(args, command);
  void* arg = va_arg(args, void*);
  va_end(args);
  if ((command == F_DUPFD || command == F_DUPFD_CLOEXEC) &&
      Injected("fcntl", fd, NULL, ERRNOS(EMFILE))) {
    return -1;
  }
  return REAL(fcntl)(fd, command, arg);
}

#if defined(__x86_64__)
// A vfork child returns from its vfork into its parent's stack, so no function may stand between
// them: the stand-in asks whether to fail, then jumps to the real vfork with the caller's frame.
__attribute__((used, visibility("hidden"))) void* FaultVforkTarget(void) {
  if (Injected("vfork", -1, NULL, ERRNOS(EAGAIN))) return NULL;
  return dlsym(RTLD_NEXT, "vfork");
}
__asm__(
    ".text\n.globl vfork\n.type vfork, @function\nvfork:\n"
    "  sub $8, %rsp\n  call FaultVforkTarget\n  add $8, %rsp\n"
    "  test %rax, %rax\n  jz 1f\n  jmp *%rax\n1:\n  mov $-1, %eax\n  ret\n"
    ".size vfork, .-vfork\n");
#endif
