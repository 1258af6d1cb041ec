#include "launcher/supervisedChild.h"

#include "base/exitStatus.h"
#include "core/workerProtocol.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>

namespace {

struct pipeEnds {
    fileDescriptor reading;
    fileDescriptor writing;
};

bool makePipe(pipeEnds& ends)
{
    int descriptors[2];
    if (pipe2(descriptors, O_CLOEXEC) != 0)
        return false;
    ends.reading = fileDescriptor(descriptors[0]);
    ends.writing = fileDescriptor(descriptors[1]);
    return true;
}

int openProcessEnd(pid_t process)
{
    return int(syscall(SYS_pidfd_open, process, 0));
}

void writeAll(int descriptor, const std::string& text)
{
    const char* at = text.data();
    std::size_t left = text.size();
    while (left > 0) {
        const ssize_t written = write(descriptor, at, left);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return;
        at += written;
        left -= std::size_t(written);
    }
}

// Moves a descriptor to `target`, open across exec there. dup2 onto itself
// would keep close-on-exec, so that case clears the flag instead.
bool placeDescriptor(int descriptor, int target)
{
    if (descriptor == target)
        return fcntl(target, F_SETFD, 0) == 0;
    return dup2(descriptor, target) == target;
}

// In the forked child, until exec. The supervisor has a single thread, so
// the child may still allocate.
[[noreturn]] void becomeChild(const childCommand& command, pid_t supervisor, int input, int output, int replies)
{
    // SIGTERM once the supervisor is gone; it may have gone already.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != supervisor)
        _exit(exitStatus::signalBase + SIGTERM);
    if (!placeDescriptor(input, STDIN_FILENO) || !placeDescriptor(output, STDOUT_FILENO)
        || !placeDescriptor(output, STDERR_FILENO)
        || (replies >= 0 && !placeDescriptor(replies, workerProtocol::replyDescriptor)))
        _exit(127);
    // Nothing else of the supervisor's: a descriptor it was started with
    // (a terminal's, a build tool's) is no business of a worker's.
    close_range(replies >= 0 ? workerProtocol::replyDescriptor + 1 : STDERR_FILENO + 1, ~0U, 0);
    signal(SIGPIPE, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    replaceProcessWith(command.arguments);
    _exit(127);
}

} // namespace

void replaceProcessWith(const std::vector<std::string>& arguments)
{
    std::vector<char*> pointers;
    for (const std::string& argument : arguments)
        pointers.push_back(const_cast<char*>(argument.c_str()));
    pointers.push_back(nullptr);
    execv(pointers[0], pointers.data());
    writeAll(STDERR_FILENO, "cannot run " + arguments[0] + ": " + std::strerror(errno) + "\n");
}

bool supervisedChild::start(const childCommand& command, std::string& problem)
{
    pipeEnds outputPipe, requestPipe, replyPipe;
    if (!makePipe(outputPipe) || (command.takesRequests && (!makePipe(requestPipe) || !makePipe(replyPipe)))) {
        problem = std::string("cannot make a pipe: ") + std::strerror(errno);
        return false;
    }
    fileDescriptor nothingToRead;
    if (!command.takesRequests) {
        nothingToRead = fileDescriptor(open("/dev/null", O_RDONLY | O_CLOEXEC));
        if (!nothingToRead.isOpen()) {
            problem = std::string("cannot open /dev/null: ") + std::strerror(errno);
            return false;
        }
    }
    const pid_t supervisor = getpid();
    const pid_t child = fork();
    if (child < 0) {
        problem = std::string("cannot start a process: ") + std::strerror(errno);
        return false;
    }
    if (child == 0)
        becomeChild(command, supervisor,
                    command.takesRequests ? requestPipe.reading.get() : nothingToRead.get(),
                    outputPipe.writing.get(), command.takesRequests ? replyPipe.writing.get() : -1);
    process = ownedChild(child);
    processEnd = fileDescriptor(openProcessEnd(child));
    if (!processEnd.isOpen()) {
        problem = std::string("cannot watch a process (pidfd_open): ") + std::strerror(errno);
        return false; // the destructor ends and reaps it
    }
    output = std::move(outputPipe.reading);
    requests = std::move(requestPipe.writing);
    replies = std::move(replyPipe.reading);
    return true;
}

void supervisedChild::signal(int number) const
{
    process.signal(number);
}

int supervisedChild::reap()
{
    const int status = process.wait();
    processEnd.close();
    if (WIFSIGNALED(status))
        return exitStatus::signalBase + WTERMSIG(status);
    return WEXITSTATUS(status);
}

std::vector<pid_t> childrenOfThisProcess()
{
    const std::string process = std::to_string(getpid());
    std::ifstream children("/proc/" + process + "/task/" + process + "/children");
    std::vector<pid_t> found;
    for (pid_t child = 0; children >> child;)
        found.push_back(child);
    return found;
}
