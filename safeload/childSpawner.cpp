#include "safeload/childSpawner.h"

#include "safeload/childConfinement.h"

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>

namespace {

// The shared mapping, the image's bytes, the ready pipe, and the program's
// standard input, output and error as they are when the child is asked for:
// a forked child would have inherited those, and a decoder's warnings must go
// where the program's own output goes at that moment.
constexpr int passedDescriptors = 6;
enum passedDescriptor { areaDescriptor, bytesDescriptor, readyDescriptor, firstStandardDescriptor };

int spawnerSocket = -1;
pid_t spawner = -1;

// One request as it travels: its plain values, and the descriptors beside
// them in the control data.
struct requestMessage {
    iovec body;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * passedDescriptors)] = {};
    msghdr message{};

    explicit requestMessage(spawnRequest& request) : body{&request, sizeof request}
    {
        message.msg_iov = &body;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
    }
};

using steadyClock = std::chrono::steady_clock;

// Waits until the socket is ready for `events`, or has been closed at the
// other end; false once the deadline has passed.
bool awaitSocket(int socket, short events, steadyClock::time_point deadline)
{
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - steadyClock::now()).count();
        if (left <= 0)
            return false;
        pollfd watched{socket, events, 0};
        const int ready = poll(&watched, 1, int(std::min<long long>(left, INT_MAX)));
        if (ready > 0)
            return true;
        if (ready < 0 && errno != EINTR)
            return false;
    }
}

// The program's side never blocks in a call: a spawner that has stopped
// answering leaves its socket's buffer full and its reply unsent, and only the
// deadline ends the wait for either.
bool sendRequest(int socket, spawnRequest request, const int (&descriptors)[passedDescriptors],
    steadyClock::time_point deadline)
{
    requestMessage sent(request);
    cmsghdr* rights = CMSG_FIRSTHDR(&sent.message);
    rights->cmsg_level = SOL_SOCKET;
    rights->cmsg_type = SCM_RIGHTS;
    rights->cmsg_len = CMSG_LEN(sizeof descriptors);
    std::memcpy(CMSG_DATA(rights), descriptors, sizeof descriptors);
    for (;;) {
        const ssize_t length = sendmsg(socket, &sent.message, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (length >= 0)
            return length == ssize_t(sizeof request);
        if (errno != EINTR && (errno != EAGAIN || !awaitSocket(socket, POLLOUT, deadline)))
            return false;
    }
}

bool receiveReply(int socket, int32_t& reply, steadyClock::time_point deadline)
{
    for (;;) {
        const ssize_t length = recv(socket, &reply, sizeof reply, MSG_DONTWAIT);
        if (length >= 0)
            return length == ssize_t(sizeof reply);
        if (errno != EINTR && (errno != EAGAIN || !awaitSocket(socket, POLLIN, deadline)))
            return false;
    }
}

// False at the end of the requests (the program closed its socket or is gone)
// or on a malformed one.
bool receiveRequest(int socket, spawnRequest& request, int (&descriptors)[passedDescriptors])
{
    requestMessage received(request);
    ssize_t length;
    while ((length = recvmsg(socket, &received.message, MSG_CMSG_CLOEXEC)) < 0 && errno == EINTR) { }
    cmsghdr* rights = CMSG_FIRSTHDR(&received.message);
    if (length != ssize_t(sizeof request) || !rights || rights->cmsg_type != SCM_RIGHTS ||
        rights->cmsg_len != CMSG_LEN(sizeof descriptors))
        return false;
    std::memcpy(descriptors, CMSG_DATA(rights), sizeof descriptors);
    return true;
}

// fork() would be the same without CLONE_PARENT, which glibc's fork cannot
// ask for. glibc (since 2.35) asks the kernel for the calling thread's id
// where it signals itself, so raise() is right in the clone too.
pid_t cloneAsSibling()
{
    return pid_t(syscall(SYS_clone, CLONE_PARENT | SIGCHLD, nullptr, nullptr, nullptr, nullptr));
}

[[noreturn]] void becomeChild(spawnedChildMain childMain, const spawnRequest& request, void* area,
    const unsigned char* bytes, const int (&descriptors)[passedDescriptors], pid_t program,
    uint64_t inheritedAddressSpace)
{
    for (int standard = 0; standard < 3; ++standard)
        if (dup2(descriptors[firstStandardDescriptor + standard], standard) < 0)
            _exit(1);
    childMain(request, area, bytes, descriptors[readyDescriptor], program, inheritedAddressSpace);
    _exit(1);
}

// The child's errno, negated, when it could not be made.
pid_t spawnOne(spawnedChildMain childMain, const spawnRequest& request,
    const int (&descriptors)[passedDescriptors], pid_t program)
{
    static const unsigned char noBytes[1] = {};
    void* area = mmap(nullptr, request.mappingLength, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_NORESERVE,
        descriptors[areaDescriptor], 0);
    if (area == MAP_FAILED)
        return -errno;
    void* bytes = request.byteLength == 0
        ? const_cast<unsigned char*>(noBytes)
        : mmap(nullptr, request.byteLength, PROT_READ, MAP_SHARED, descriptors[bytesDescriptor], 0);
    if (bytes == MAP_FAILED) {
        const int error = errno;
        munmap(area, request.mappingLength);
        return -error;
    }
    const uint64_t inheritedAddressSpace = currentAddressSpaceBytes();
    pid_t child = cloneAsSibling();
    if (child == 0)
        becomeChild(childMain, request, area, static_cast<const unsigned char*>(bytes), descriptors, program,
            inheritedAddressSpace);
    const int error = errno;
    munmap(area, request.mappingLength);
    if (request.byteLength != 0)
        munmap(bytes, request.byteLength);
    return child > 0 ? child : -error;
}

[[noreturn]] void serveRequests(int socket, spawnedChildMain childMain, pid_t program)
{
    spawnRequest request;
    int descriptors[passedDescriptors];
    while (receiveRequest(socket, request, descriptors)) {
        const int32_t reply = spawnOne(childMain, request, descriptors, program);
        for (int descriptor : descriptors)
            close(descriptor);
        if (send(socket, &reply, sizeof reply, MSG_NOSIGNAL) != ssize_t(sizeof reply))
            break;
    }
    _exit(0);
}

// The spawner holds nothing of the program's but its socket, so that no pipe
// of the program's stays open for as long as the spawner lives.
[[noreturn]] void runSpawner(int socket, spawnedChildMain childMain, pid_t program)
{
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != program)
        _exit(0);
    const int nothing = open("/dev/null", O_RDWR);
    for (int standard = 0; standard < 3; ++standard)
        if (nothing < 0 || dup2(nothing, standard) < 0)
            _exit(1);
    closeInheritedDescriptors(socket);
    restoreDefaultSignalActions();
    serveRequests(socket, childMain, program);
}

// The spawner, stopped or not, is killed and reaped. A reply it sent before
// it went names a child that nobody is to wait for, which is killed and
// reaped too (a child of the program's: see cloneAsSibling). It may also have
// cloned one and gone before replying, a child the program cannot name;
// imageSandbox.cpp gives the decode it forks instead an area and a pipe of its
// own, so that such a child cannot meet it.
void forgetSpawner()
{
    if (spawner > 0) {
        kill(spawner, SIGKILL);
        while (waitpid(spawner, nullptr, 0) < 0 && errno == EINTR) { }
    }
    int32_t reply = 0;
    while (spawnerSocket >= 0 && recv(spawnerSocket, &reply, sizeof reply, MSG_DONTWAIT) == ssize_t(sizeof reply))
        if (reply > 0) {
            kill(pid_t(reply), SIGKILL);
            while (waitpid(pid_t(reply), nullptr, 0) < 0 && errno == EINTR) { }
        }
    if (spawnerSocket >= 0)
        close(spawnerSocket);
    spawnerSocket = -1;
    spawner = -1;
}

} // namespace

bool startChildSpawner(spawnedChildMain childMain)
{
    if (spawner > 0)
        return true;
    int sockets[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, sockets) != 0)
        return false;
    const pid_t program = getpid();
    const pid_t forked = fork();
    if (forked == 0) {
        close(sockets[0]);
        runSpawner(sockets[1], childMain, program);
    }
    close(sockets[1]);
    if (forked < 0) {
        close(sockets[0]);
        return false;
    }
    spawner = forked;
    spawnerSocket = sockets[0];
    return true;
}

void stopChildSpawner()
{
    forgetSpawner();
}

pid_t childSpawnerProcess()
{
    return spawner;
}

pid_t spawnChild(const spawnRequest& request, int areaFd, int bytesFd, int readyFd)
{
    if (spawnerSocket < 0)
        return -1;
    const int descriptors[passedDescriptors] = {areaFd, bytesFd, readyFd, STDIN_FILENO, STDOUT_FILENO,
        STDERR_FILENO};
    // The decode's own wall-time limit: a spawner that has not cloned its
    // child by then (stopped, say) would only make the decode wait longer
    // than it may take in all.
    const auto deadline = steadyClock::now() +
        std::chrono::duration_cast<steadyClock::duration>(std::chrono::duration<double>(request.limits.wallSeconds));
    int32_t reply = 0;
    if (!sendRequest(spawnerSocket, request, descriptors, deadline) ||
        !receiveReply(spawnerSocket, reply, deadline)) {
        forgetSpawner();
        return -1;
    }
    if (reply < 0) {
        errno = -reply;
        return -1;
    }
    return pid_t(reply);
}
