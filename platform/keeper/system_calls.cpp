// The C library functions the keeper program calls, as bare x86-64 system
// calls, and the program's entry point. The program is linked without any C
// library: a start then costs the kernel's exec and nothing else (no dynamic
// loader, no relocations, no C library set-up), which each run of a remote
// program pays. The keeper makes plain system calls only (session/keeper.h),
// so this is all it needs; the library's own copy of the keeper code, for
// forked keepers and the sanitizer builds, uses the system's C library.
//
// Each function follows the system call's conventions as the C library
// does: -1 with errno set on failure.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdarg.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstddef>

extern "C" {
char** environ = nullptr;
}

namespace {

int g_errno = 0;

long Call(long number, long a = 0, long b = 0, long c = 0, long d = 0, long e = 0, long f = 0) {
  register long r10 asm("r10") = d;
  register long r8 asm("r8") = e;
  register long r9 asm("r9") = f;
  long result;
  asm volatile("syscall"
               : "=a"(result)
               : "a"(number), "D"(a), "S"(b), "d"(c), "r"(r10), "r"(r8), "r"(r9)
               : "rcx", "r11", "memory");
  return result;
}

// The kernel returns -errno; the C library's convention is -1 and errno.
long Checked(long result) {
  if (result < 0 && result > -4096) {
    g_errno = static_cast<int>(-result);
    return -1;
  }
  return result;
}

long L(const void* pointer) {
  return reinterpret_cast<long>(pointer);
}

// The kernel's signal set is 64 bits; the C library's sigset_t is larger.
constexpr long kKernelSigsetSize = 8;

// The kernel's struct sigaction on x86-64.
struct KernelSigaction {
  void (*handler)(int);
  unsigned long flags;
  void (*restorer)();
  unsigned long mask;
};

}  // namespace

extern "C" {

int* __errno_location() noexcept {
  return &g_errno;
}

// Called by the compiler for block copies and fills. In assembly, so that
// no compiler turns the loop back into a call of the function itself.
void* memcpy(void* to, const void* from, size_t size) noexcept {
  void* out = to;
  asm volatile("rep movsb" : "+D"(out), "+S"(from), "+c"(size) : : "memory");
  return to;
}

void* memset(void* to, int value, size_t size) noexcept {
  void* out = to;
  asm volatile("rep stosb" : "+D"(out), "+c"(size) : "a"(value) : "memory");
  return to;
}

long syscall(long number, ...) noexcept {
  va_list args;
  va_start(args, number);
  long a[6];
  for (long& arg : a) arg = va_arg(args, long);
  va_end(args);
  return Checked(Call(number, a[0], a[1], a[2], a[3], a[4], a[5]));
}

ssize_t read(int fd, void* buffer, size_t size) {
  return Checked(Call(SYS_read, fd, L(buffer), static_cast<long>(size)));
}

ssize_t write(int fd, const void* buffer, size_t size) {
  return Checked(Call(SYS_write, fd, L(buffer), static_cast<long>(size)));
}

int open(const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  const long mode = (flags & (O_CREAT | O_TMPFILE)) != 0 ? va_arg(args, int) : 0;
  va_end(args);
  return static_cast<int>(Checked(Call(SYS_openat, AT_FDCWD, L(path), flags, mode)));
}

int close(int fd) {
  return static_cast<int>(Checked(Call(SYS_close, fd)));
}

int fcntl(int fd, int command, ...) {
  va_list args;
  va_start(args, command);
  const long arg = va_arg(args, long);
  va_end(args);
  return static_cast<int>(Checked(Call(SYS_fcntl, fd, command, arg)));
}

int dup2(int from, int to) noexcept {
  return static_cast<int>(Checked(Call(SYS_dup2, from, to)));
}

int pipe2(int fds[2], int flags) noexcept {
  return static_cast<int>(Checked(Call(SYS_pipe2, L(fds), flags)));
}

int poll(struct pollfd* fds, nfds_t count, int timeout) {
  return static_cast<int>(Checked(Call(SYS_poll, L(fds), static_cast<long>(count), timeout)));
}

int unlink(const char* path) noexcept {
  return static_cast<int>(Checked(Call(SYS_unlinkat, AT_FDCWD, L(path), 0)));
}

int rmdir(const char* path) noexcept {
  return static_cast<int>(Checked(Call(SYS_unlinkat, AT_FDCWD, L(path), AT_REMOVEDIR)));
}

pid_t getpid() noexcept {
  return static_cast<pid_t>(Call(SYS_getpid));
}

pid_t getppid() noexcept {
  return static_cast<pid_t>(Call(SYS_getppid));
}

int setpgid(pid_t pid, pid_t group) noexcept {
  return static_cast<int>(Checked(Call(SYS_setpgid, pid, group)));
}

// With clone, as the C library forks, rather than the old fork call: a system
// call filter written for the C library's calls lets it through.
pid_t _Fork() noexcept {
  return static_cast<pid_t>(Checked(Call(SYS_clone, SIGCHLD, 0, 0, 0, 0)));
}

int execve(const char* path, char* const argv[], char* const envp[]) noexcept {
  return static_cast<int>(Checked(Call(SYS_execve, L(path), L(argv), L(envp))));
}

void _exit(int status) {
  for (;;) Call(SYS_exit_group, status);
}

int kill(pid_t pid, int signal) noexcept {
  return static_cast<int>(Checked(Call(SYS_kill, pid, signal)));
}

pid_t waitpid(pid_t pid, int* status, int options) {
  return static_cast<pid_t>(Checked(Call(SYS_wait4, pid, L(status), options, 0)));
}

int waitid(idtype_t type, id_t id, siginfo_t* info, int options) {
  return static_cast<int>(Checked(Call(SYS_waitid, type, id, L(info), options, 0)));
}

int prctl(int option, ...) noexcept {
  va_list args;
  va_start(args, option);
  long a[4];
  for (long& arg : a) arg = va_arg(args, long);
  va_end(args);
  return static_cast<int>(Checked(Call(SYS_prctl, option, a[0], a[1], a[2], a[3])));
}

int getrlimit(__rlimit_resource_t resource, struct rlimit* limits) noexcept {
  return static_cast<int>(Checked(Call(SYS_prlimit64, 0, resource, 0, L(limits))));
}

int sigemptyset(sigset_t* set) noexcept {
  memset(set, 0, sizeof *set);
  return 0;
}

int sigaddset(sigset_t* set, int signal) noexcept {
  if (signal < 1 || signal > 64) {
    g_errno = EINVAL;
    return -1;
  }
  reinterpret_cast<unsigned long*>(set)[0] |= 1UL << (signal - 1);
  return 0;
}

int sigprocmask(int how, const sigset_t* set, sigset_t* old) noexcept {
  if (old != nullptr) sigemptyset(old);
  return static_cast<int>(
      Checked(Call(SYS_rt_sigprocmask, how, L(set), L(old), kKernelSigsetSize)));
}

// Only the default and ignore dispositions: a handler would need the
// C library's return trampoline, which this program does not have.
int sigaction(int signal, const struct sigaction* action, struct sigaction* old) noexcept {
  if (old != nullptr ||
      (action != nullptr && action->sa_handler != SIG_DFL && action->sa_handler != SIG_IGN)) {
    g_errno = ENOSYS;
    return -1;
  }
  KernelSigaction kernel{};
  if (action != nullptr) {
    kernel.handler = action->sa_handler;
    kernel.flags = static_cast<unsigned long>(action->sa_flags);
    memcpy(&kernel.mask, &action->sa_mask, sizeof kernel.mask);
  }
  return static_cast<int>(Checked(
      Call(SYS_rt_sigaction, signal, action != nullptr ? L(&kernel) : 0, 0, kKernelSigsetSize)));
}

int signalfd(int fd, const sigset_t* mask, int flags) noexcept {
  return static_cast<int>(Checked(Call(SYS_signalfd4, fd, L(mask), kKernelSigsetSize, flags)));
}

}  // extern "C"

// The entry point: the kernel leaves argc, then argv and the environment,
// each ended by a null pointer, on the stack.
asm(R"(
  .text
  .globl _start
  .type _start, @function
_start:
  xor %ebp, %ebp
  mov (%rsp), %rdi
  lea 8(%rsp), %rsi
  lea 16(%rsp,%rdi,8), %rdx
  mov %rdx, environ(%rip)
  and $-16, %rsp
  call main
  mov %eax, %edi
  mov $231, %eax
  syscall
  hlt
  .size _start, .-_start
)");
