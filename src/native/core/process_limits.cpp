#include "core/process_limits.h"

#ifdef __linux__
#include <fcntl.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sched.h>
#include <stddef.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#endif

namespace tessel::process_limits {

#ifdef __linux__

namespace {

#ifndef __NR_landlock_create_ruleset
#define __NR_landlock_create_ruleset 444
#define __NR_landlock_add_rule 445
#define __NR_landlock_restrict_self 446
#endif

// Landlock's structures as the kernel reads them, with the fields of its later
// versions: the size given tells it which are there.
struct RulesetAttr {
    uint64_t handled_access_fs;
    uint64_t handled_access_net;
    uint64_t scoped;
};
struct __attribute__((packed)) PathBeneath {
    uint64_t allowed_access;
    int32_t parent_fd;
};

constexpr uint64_t kReadFile = 1ULL << 2, kReadDir = 1ULL << 3;

// Leaves the child read access to `folders` and nothing else of the file system.
// False where the kernel has no Landlock.
bool restrict_files(const std::vector<std::string> &folders) {
    const long abi = syscall(__NR_landlock_create_ruleset, nullptr, 0, 1U /* VERSION */);
    if (abi < 1)
        return false;
    RulesetAttr attr{};
    attr.handled_access_fs = (1ULL << 13) - 1;  // execute, write, read, remove, make
    if (abi >= 2)
        attr.handled_access_fs |= 1ULL << 13;  // refer
    if (abi >= 3)
        attr.handled_access_fs |= 1ULL << 14;  // truncate
    if (abi >= 5)
        attr.handled_access_fs |= 1ULL << 15;  // ioctl on devices
    size_t size = sizeof attr.handled_access_fs;
    if (abi >= 4) {
        attr.handled_access_net = 3;  // bind and connect TCP
        size += sizeof attr.handled_access_net;
    }
    if (abi >= 6) {
        attr.scoped = 3;  // abstract unix sockets and signals of other domains
        size += sizeof attr.scoped;
    }
    const int ruleset = (int) syscall(__NR_landlock_create_ruleset, &attr, size, 0U);
    if (ruleset < 0)
        return false;
    for (const std::string &folder : folders) {
        const int fd = open(folder.c_str(), O_PATH | O_CLOEXEC | O_DIRECTORY);
        if (fd < 0)
            continue;
        PathBeneath rule{kReadFile | kReadDir, fd};
        syscall(__NR_landlock_add_rule, ruleset, 1 /* path beneath */, &rule, 0U);
        close(fd);
    }
    const bool restricted = syscall(__NR_landlock_restrict_self, ruleset, 0U) == 0;
    close(ruleset);
    return restricted;
}

#if defined(__x86_64__)
constexpr uint32_t kArch = AUDIT_ARCH_X86_64;
#elif defined(__aarch64__)
constexpr uint32_t kArch = AUDIT_ARCH_AARCH64;
#else
constexpr uint32_t kArch = 0;
#endif

class Filter {
public:
    void load_nr() { add(BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr))); }
    void allow(long nr) {
        add(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, (uint32_t) nr, 0, 1));
        add(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
    }
    void answer(long nr, int error) {
        add(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, (uint32_t) nr, 0, 1));
        add(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (uint32_t) error));
    }
    // Allowed when the low word of argument `arg`, masked, equals `value`; else `error`.
    void allow_when(long nr, int arg, uint32_t mask, uint32_t value, int error) {
        add(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, (uint32_t) nr, 0, 5));
        add(BPF_STMT(BPF_LD | BPF_W | BPF_ABS, low_word(arg)));
        add(BPF_STMT(BPF_ALU | BPF_AND | BPF_K, mask));
        add(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, value, 0, 1));
        add(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
        add(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (uint32_t) error));
    }
    // Allowed when argument `arg` is the whole-word `value`.
    void allow_equal(long nr, int arg, uint64_t value, int error) {
        add(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, (uint32_t) nr, 0, 6));
        add(BPF_STMT(BPF_LD | BPF_W | BPF_ABS, low_word(arg)));
        add(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, (uint32_t) value, 0, 3));
        add(BPF_STMT(BPF_LD | BPF_W | BPF_ABS, low_word(arg) + 4));
        add(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, (uint32_t) (value >> 32), 0, 1));
        add(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
        add(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (uint32_t) error));
    }
    void add(sock_filter f) { code_.push_back(f); }
    bool install() {
        sock_fprog prog{(unsigned short) code_.size(), code_.data()};
        return prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &prog) == 0;
    }

private:
    static uint32_t low_word(int arg) {
        static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "argument words are read little-endian");
        return (uint32_t) (offsetof(seccomp_data, args) + 8 * arg);
    }
    std::vector<sock_filter> code_;
};

// The system calls a fill makes in memory, and nothing that writes a file, opens
// a socket, starts a process or signals another.  Files open for reading only,
// and only where Landlock holds the reads to the installation.
bool install_filter(bool files_readable) {
    Filter f;
    f.add(BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)));
    f.add(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kArch, 1, 0));
    f.add(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_KILL_PROCESS));
    f.load_nr();
#ifdef __x86_64__
    // The x32 numbering of the same calls.
    f.add(BPF_JUMP(BPF_JMP | BPF_JGE | BPF_K, 0x40000000U, 0, 1));
    f.add(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EPERM));
#endif
    const long allowed[] = {
        SYS_read, SYS_write, SYS_readv, SYS_writev, SYS_pread64, SYS_lseek, SYS_close, SYS_fstat,
        SYS_newfstatat, SYS_statx, SYS_faccessat, SYS_readlinkat, SYS_getdents64, SYS_getcwd, SYS_fcntl,
        SYS_mmap, SYS_munmap, SYS_mremap, SYS_mprotect, SYS_brk, SYS_madvise, SYS_futex,
        SYS_set_robust_list, SYS_get_robust_list, SYS_set_tid_address, SYS_rt_sigaction,
        SYS_rt_sigprocmask, SYS_rt_sigreturn, SYS_sigaltstack, SYS_restart_syscall, SYS_getpid,
        SYS_gettid, SYS_getppid, SYS_getuid, SYS_geteuid, SYS_getgid, SYS_getegid, SYS_clock_gettime,
        SYS_clock_getres, SYS_clock_nanosleep, SYS_nanosleep, SYS_gettimeofday, SYS_getrandom,
        SYS_sched_yield, SYS_sched_getaffinity, SYS_sysinfo, SYS_uname, SYS_getrusage, SYS_times,
        SYS_exit, SYS_exit_group, SYS_membarrier,
#ifdef SYS_rseq
        SYS_rseq,
#endif
#ifdef SYS_faccessat2
        SYS_faccessat2,
#endif
#ifdef __x86_64__
        SYS_stat, SYS_lstat, SYS_access, SYS_readlink, SYS_arch_prctl, SYS_getrlimit, SYS_time,
#endif
    };
    for (long nr : allowed)
        f.allow(nr);
#ifdef __SANITIZE_ADDRESS__
    // The sanitizers of a test build find out whether memory may be read by
    // writing it to a pipe of their own.
    f.allow(SYS_pipe2);
#ifdef SYS_pipe
    f.allow(SYS_pipe);
#endif
#endif
    // Threads, which numpy and its libraries may start, but no process.
    f.allow_when(SYS_clone, 0, CLONE_THREAD, CLONE_THREAD, EPERM);
#ifdef SYS_clone3
    f.answer(SYS_clone3, ENOSYS);  // its flags lie in memory that a filter cannot read
#endif
    // Signals to itself only (abort, a raise of the runtime).
    const long pid = getpid();
    f.allow_equal(SYS_kill, 0, (uint64_t) pid, EPERM);
    f.allow_equal(SYS_tgkill, 0, (uint64_t) pid, EPERM);
    f.allow_equal(SYS_tkill, 0, (uint64_t) pid, EPERM);
    // isatty() asks for the terminal's settings; nothing else of a device.
    f.allow_equal(SYS_ioctl, 1, TCGETS, ENOTTY);
    // Limits may be read, never raised.
    f.allow_equal(SYS_prlimit64, 2, 0, EPERM);
    const uint32_t writing = O_WRONLY | O_RDWR | O_CREAT | O_TRUNC | O_APPEND | (O_TMPFILE & ~O_DIRECTORY);
    if (files_readable) {
        f.allow_when(SYS_openat, 2, writing, 0, EACCES);
#ifdef __x86_64__
        f.allow_when(SYS_open, 1, writing, 0, EACCES);
#endif
    } else {
        f.answer(SYS_openat, EACCES);
#ifdef __x86_64__
        f.answer(SYS_open, EACCES);
#endif
    }
#ifdef SYS_openat2
    f.answer(SYS_openat2, ENOSYS);  // its flags lie in memory too
#endif
    f.add(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EPERM));
    return f.install();
}

// Closes every file descriptor but 0, 1, 2 and `keep`: what the caller had open
// (a log, a database) is not the child's to write.
void close_inherited(int keep) {
    auto close_from = [](unsigned from, unsigned to) {
        if (from > to)
            return;
#ifdef SYS_close_range
        if (syscall(SYS_close_range, from, to, 0U) == 0)
            return;
#endif
        const long most = sysconf(_SC_OPEN_MAX);
        for (long fd = from; fd <= (long) to && fd < (most > 0 ? most : 65536); ++fd)
            close((int) fd);
    };
    close_from(3, (unsigned) keep - 1);
    close_from((unsigned) keep + 1, ~0U);
}

}  // namespace

unsigned long long address_space() {
    FILE *f = std::fopen("/proc/self/statm", "r");
    unsigned long long pages = 0;
    if (f) {
        if (std::fscanf(f, "%llu", &pages) != 1)
            pages = 0;
        std::fclose(f);
    }
    return pages * (unsigned long long) sysconf(_SC_PAGESIZE);
}

bool supported() {
    return kArch != 0 && prctl(PR_GET_SECCOMP, 0, 0, 0, 0) >= 0 && address_space() > 0;
}

bool confine(unsigned long long base, unsigned long long memory, int keep, const std::vector<std::string> &readable) {
    close_inherited(keep);
    unsigned long long most = base + memory < base ? RLIM_INFINITY : base + memory;
    // A limit the caller's process already has stays the ceiling: it cannot be raised.
    rlimit current{};
    if (getrlimit(RLIMIT_AS, &current) == 0 && current.rlim_max != RLIM_INFINITY && most > current.rlim_max)
        most = current.rlim_max;
    rlimit space{(rlim_t) most, (rlim_t) most};
    rlimit no_core{0, 0};
    if (setrlimit(RLIMIT_AS, &space) != 0 || setrlimit(RLIMIT_CORE, &no_core) != 0)
        return false;
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0)
        return false;
    return install_filter(restrict_files(readable));
}

#else

unsigned long long address_space() { return 0; }

bool supported() { return false; }

bool confine(unsigned long long, unsigned long long, int, const std::vector<std::string> &) { return false; }

#endif

}  // namespace tessel::process_limits
