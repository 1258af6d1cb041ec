#include "safeload/childConfinement.h"

#include <fcntl.h>
#include <sched.h>
#include <seccomp.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>

namespace {

// Starting a process is never a library's fallback but an attack's first
// step, so it ends the child; so do threads where they are not allowed.
// Threads come from clone with CLONE_THREAD only. glibc tries clone3 first,
// whose flags a filter cannot see, and falls back to clone when it is told
// the call does not exist.
bool restrictProcessesAndThreads(scmp_filter_ctx filter, bool threadsAllowed)
{
    bool ok = true;
    for (int call : {SCMP_SYS(fork), SCMP_SYS(vfork), SCMP_SYS(execve), SCMP_SYS(execveat)})
        ok = ok && seccomp_rule_add(filter, SCMP_ACT_KILL_PROCESS, call, 0) == 0;
    ok = ok && seccomp_rule_add(filter, SCMP_ACT_ERRNO(ENOSYS), SCMP_SYS(clone3), 0) == 0;
    if (!threadsAllowed)
        return ok && seccomp_rule_add(filter, SCMP_ACT_KILL_PROCESS, SCMP_SYS(clone), 0) == 0;
    ok = ok && seccomp_rule_add(filter, SCMP_ACT_ALLOW, SCMP_SYS(clone), 1,
                  SCMP_A0(SCMP_CMP_MASKED_EQ, CLONE_THREAD, CLONE_THREAD)) == 0;
    ok = ok && seccomp_rule_add(filter, SCMP_ACT_KILL_PROCESS, SCMP_SYS(clone), 1,
                  SCMP_A0(SCMP_CMP_MASKED_EQ, CLONE_THREAD, 0)) == 0;
    for (int call : {SCMP_SYS(set_robust_list), SCMP_SYS(rseq), SCMP_SYS(sched_getaffinity),
             SCMP_SYS(nanosleep), SCMP_SYS(clock_nanosleep)})
        ok = ok && seccomp_rule_add(filter, SCMP_ACT_ALLOW, call, 0) == 0;
    // dav1d names its worker threads.
    ok = ok &&
        seccomp_rule_add(filter, SCMP_ACT_ALLOW, SCMP_SYS(prctl), 1, SCMP_A0(SCMP_CMP_EQ, PR_SET_NAME)) == 0;
    return ok;
}

bool setLimit(int resource, rlim_t soft, rlim_t hard)
{
    struct rlimit limit {
        soft, hard
    };
    return setrlimit(resource, &limit) == 0;
}

} // namespace

// Every call not allowed below fails with EPERM rather than ending the child:
// glibc and the codecs look around now and then (glibc's malloc opens
// /proc/sys/vm/overcommit_memory when a thread's arena shrinks, as libheif's
// threads make it do on a phone's photo), and when the open fails they go on
// without what they looked for. The child still opens nothing.
bool installSystemCallFilter(int readyFd, bool threadsAllowed)
{
    scmp_filter_ctx filter = seccomp_init(SCMP_ACT_ERRNO(EPERM));
    if (!filter)
        return false;
    bool ok = true;
    auto allow = [&](int call) { ok = ok && seccomp_rule_add(filter, SCMP_ACT_ALLOW, call, 0) == 0; };
    for (int call : {SCMP_SYS(brk), SCMP_SYS(munmap), SCMP_SYS(mremap), SCMP_SYS(madvise), SCMP_SYS(exit),
             SCMP_SYS(exit_group), SCMP_SYS(rt_sigreturn), SCMP_SYS(rt_sigprocmask), SCMP_SYS(rt_sigaction),
             SCMP_SYS(futex), SCMP_SYS(getpid), SCMP_SYS(gettid), SCMP_SYS(clock_gettime),
             SCMP_SYS(sched_yield), SCMP_SYS(sigaltstack)})
        allow(call);
    // Memory may be mapped and protected, but never made executable.
    for (int call : {SCMP_SYS(mmap), SCMP_SYS(mprotect)})
        ok = ok &&
            seccomp_rule_add(filter, SCMP_ACT_ALLOW, call, 1, SCMP_A2(SCMP_CMP_MASKED_EQ, PROT_EXEC, 0)) == 0;
    // Diagnostics (abort messages, sanitizer reports) may go to standard error.
    for (int call : {SCMP_SYS(write), SCMP_SYS(writev)})
        ok =
            ok && seccomp_rule_add(filter, SCMP_ACT_ALLOW, call, 1, SCMP_A0(SCMP_CMP_EQ, STDERR_FILENO)) == 0;
    // The one byte that tells the parent the pixels are ready.
    ok = ok &&
        seccomp_rule_add(
            filter, SCMP_ACT_ALLOW, SCMP_SYS(write), 1, SCMP_A0(SCMP_CMP_EQ, scmp_datum_t(readyFd))) == 0;
    // Reading resource limits (sanitizers do) is harmless; changing them is not.
    ok = ok && seccomp_rule_add(filter, SCMP_ACT_ALLOW, SCMP_SYS(prlimit64), 1, SCMP_A2(SCMP_CMP_EQ, 0)) == 0;
    ok = ok && seccomp_rule_add(filter, SCMP_ACT_ALLOW, SCMP_SYS(getrlimit), 0) == 0;
    ok = ok && restrictProcessesAndThreads(filter, threadsAllowed);
    // abort() signals its own thread.
    pid_t self = getpid();
    ok = ok &&
        seccomp_rule_add(
            filter, SCMP_ACT_ALLOW, SCMP_SYS(tgkill), 1, SCMP_A0(SCMP_CMP_EQ, scmp_datum_t(self))) == 0;
    ok = ok && seccomp_load(filter) == 0;
    seccomp_release(filter);
    return ok;
}

// Keeps standard input, output and error and the ready pipe's writing end.
// close_range closes each span in one call; kernels before 5.9 lack it, and
// there every descriptor number up to the usual limit is closed one by one.
void closeInheritedDescriptors(int readyFd)
{
    const unsigned int ready = unsigned(readyFd);
    const bool closedBelow = ready == 3 || syscall(SYS_close_range, 3u, ready - 1, 0u) == 0;
    if (closedBelow && syscall(SYS_close_range, ready + 1, ~0u, 0u) == 0)
        return;
    for (int fd = 3; fd < 65536; ++fd)
        if (fd != readyFd)
            close(fd);
}

uint64_t currentAddressSpaceBytes()
{
    std::FILE* statm = std::fopen("/proc/self/statm", "r");
    if (!statm)
        return 0;
    unsigned long long pages = 0;
    int fields = std::fscanf(statm, "%llu", &pages);
    std::fclose(statm);
    return fields == 1 ? pages * uint64_t(sysconf(_SC_PAGESIZE)) : 0;
}

bool applyLimits(const sandboxLimits& limits, uint64_t inheritedAddressSpace)
{
    rlim_t cpu = rlim_t(std::ceil(limits.cpuSeconds));
    return setLimit(RLIMIT_CORE, 0, 0) && setLimit(RLIMIT_CPU, cpu, cpu + 1) &&
        setLimit(RLIMIT_AS, inheritedAddressSpace + limits.memoryBytes,
            inheritedAddressSpace + limits.memoryBytes);
}

void restoreDefaultSignalActions()
{
    for (int fatal : {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT, SIGXCPU, SIGSYS, SIGPIPE})
        signal(fatal, SIG_DFL);
}
