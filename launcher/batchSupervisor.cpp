#include "launcher/batchSupervisor.h"

#include "base/exitStatus.h"
#include "core/workerProtocol.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>

namespace {

void makeNonBlocking(const fileDescriptor& descriptor)
{
    if (descriptor.isOpen())
        fcntl(descriptor.get(), F_SETFL, fcntl(descriptor.get(), F_GETFL) | O_NONBLOCK);
}

// Reads what a non-blocking pipe holds, once or until it is empty, handing
// each piece to `take`, which returns false to read no more; the pipe is
// closed at its end (a pipe that fails is as good as ended).
template <typename pieceTaker>
void readPieces(fileDescriptor& pipe, bool untilEmpty, pieceTaker take)
{
    char bytes[65536];
    do {
        ssize_t got;
        while ((got = read(pipe.get(), bytes, sizeof bytes)) < 0 && errno == EINTR) { }
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return;
        if (got <= 0) {
            pipe.close();
            return;
        }
        if (!take(bytes, std::size_t(got)))
            return;
    } while (untilEmpty);
}

// Writes to the supervisor's pipes must not end it when a worker has gone:
// the write fails with EPIPE instead, and the worker's end is seen on its
// pidfd. The disposition is put back afterwards for whoever runs a batch.
class pipeSignalsIgnored {
public:
    pipeSignalsIgnored() { sigaction(SIGPIPE, &ignore, &previous); }
    ~pipeSignalsIgnored() { sigaction(SIGPIPE, &previous, nullptr); }

private:
    struct sigaction ignore = [] {
        struct sigaction action {};
        action.sa_handler = SIG_IGN;
        return action;
    }();
    struct sigaction previous {};
};

} // namespace


batchSupervisor::batchSupervisor(batchSettings batchSettings, std::vector<std::string> batchFiles, int stopSignalFd,
                                 batchObserver& batchObserver)
    : settings(std::move(batchSettings)), files(std::move(batchFiles)), results(files.size()),
      stopSignals(stopSignalFd), observer(batchObserver)
{
    if (settings.jobs == 0)
        settings.jobs = 1;
}

void batchSupervisor::run()
{
    pipeSignalsIgnored pipeSignals;
    startWhatFits();
    while (!slots.empty()) {
        waitForEvents();
        startWhatFits();
    }
    if (settings.adoptsOrphans)
        waitForOrphans();
}

void batchSupervisor::startWhatFits()
{
    while (stopSignal == 0 && nextFile < files.size() && slots.size() < settings.jobs)
        startSlot();
}

// Starts a worker with the next file, or that file's own program. A child
// that cannot be started fails that file, so the batch still moves on.
void batchSupervisor::startSlot()
{
    childCommand command;
    if (usesWorkers()) {
        command.arguments = settings.workerArguments;
        command.takesRequests = true;
    } else {
        command.arguments = settings.programArguments(files[nextFile]);
    }
    slots.emplace_back();
    slot& child = slots.back();
    std::string problem;
    if (!child.process.start(command, problem)) {
        slots.pop_back();
        const std::size_t index = nextFile++;
        observer.fileStarted(index);
        finishFile(index, exitStatus::failure, problem + "\n");
        return;
    }
    makeNonBlocking(child.process.output);
    makeNonBlocking(child.process.replies);
    makeNonBlocking(child.process.requests);
    if (usesWorkers()) {
        feed(child);
    } else {
        child.file = nextFile++;
        observer.fileStarted(child.file);
    }
}

// Sends a worker the next file, or closes its requests when there is none:
// the end of its input tells it to end.
void batchSupervisor::feed(slot& worker)
{
    worker.file = slot::noFile;
    if (stopSignal != 0 || worker.ending || nextFile >= files.size()) {
        worker.process.requests.close();
        return;
    }
    worker.file = nextFile++;
    observer.fileStarted(worker.file);
    // A request is far smaller than the pipe, which holds at most the one
    // before; a worker that has gone makes the write fail, and its end is
    // taken in from its pidfd.
    const std::string request = workerProtocol::encodeRequest(worker.file, files[worker.file]);
    const ssize_t written = write(worker.process.requests.get(), request.data(), request.size());
    if (written >= 0 && std::size_t(written) != request.size())
        breakWorker(worker, "the batch worker did not take its request whole");
}

void batchSupervisor::waitForEvents()
{
    enum class source { output, replies, end };
    struct watched {
        std::list<slot>::iterator child;
        source kind;
    };
    std::vector<pollfd> descriptors{{stopSignals, POLLIN, 0}};
    std::vector<watched> owners{{slots.end(), source::end}};
    for (auto child = slots.begin(); child != slots.end(); ++child) {
        const std::pair<const fileDescriptor*, source> ends[] = {{&child->process.output, source::output},
                                                                  {&child->process.replies, source::replies},
                                                                  {&child->process.processEnd, source::end}};
        for (const auto& [descriptor, kind] : ends) {
            if (descriptor->isOpen()) {
                descriptors.push_back({descriptor->get(), POLLIN, 0});
                owners.push_back({child, kind});
            }
        }
    }
    int timeout = -1;
    if (stopSignal != 0 && !killed) {
        const auto left = stopDeadline - std::chrono::steady_clock::now();
        timeout = int(std::max<long long>(0, std::chrono::duration_cast<std::chrono::milliseconds>(left).count()));
    }
    const int ready = poll(descriptors.data(), descriptors.size(), timeout);
    if (ready < 0)
        return; // EINTR: look again
    if (ready == 0) {
        killAll();
        return;
    }
    if (descriptors[0].revents != 0)
        readStopSignal();
    // Output before replies, and both before an end: a reply is written after
    // its file's output, and a worker ends after its last reply.
    for (source kind : {source::output, source::replies, source::end}) {
        for (std::size_t at = 1; at < descriptors.size(); ++at) {
            if (descriptors[at].revents == 0 || owners[at].kind != kind)
                continue;
            slot& child = *owners[at].child;
            if (kind == source::output && child.process.output.isOpen())
                readOutput(child, false);
            else if (kind == source::replies && child.process.replies.isOpen())
                takeReplies(child);
            else if (kind == source::end)
                endSlot(owners[at].child);
        }
    }
}

void batchSupervisor::readStopSignal()
{
    signalfd_siginfo signal{};
    if (read(stopSignals, &signal, sizeof signal) != ssize_t(sizeof signal))
        return;
    if (signal.ssi_signo == SIGCHLD)
        reapOrphans();
    else
        stop(int(signal.ssi_signo));
}

// A worker's own children (its decoder spawner, a decoder child) outlive it
// by a moment when it ends, and come to the command, their subreaper, to be
// reaped; the children it started itself are reaped from their pidfds.
std::vector<pid_t> batchSupervisor::reapOrphans()
{
    std::vector<pid_t> living;
    for (pid_t child : childrenOfThisProcess()) {
        const bool ours = std::any_of(slots.begin(), slots.end(),
                                      [child](const slot& started) { return started.process.id() == child; });
        if (!ours && waitpid(child, nullptr, WNOHANG) == 0)
            living.push_back(child);
    }
    return living;
}

// Orphans still running when the batch is done have had their parent death
// signal: they are waited for as long as a stop's grace, then killed.
void batchSupervisor::waitForOrphans()
{
    const auto deadline = std::chrono::steady_clock::now() + settings.stopGrace;
    for (std::vector<pid_t> living = reapOrphans(); !living.empty(); living = reapOrphans()) {
        const auto left = deadline - std::chrono::steady_clock::now();
        pollfd childEnded{stopSignals, POLLIN, 0};
        if (left <= left.zero()
            || poll(&childEnded, 1, int(std::chrono::duration_cast<std::chrono::milliseconds>(left).count()) + 1) == 0) {
            for (pid_t orphan : living) {
                kill(orphan, SIGKILL);
                waitpid(orphan, nullptr, 0);
            }
            return;
        }
        // The signal only says a child ended; the next round finds which.
        signalfd_siginfo signal{};
        [[maybe_unused]] const ssize_t taken = read(stopSignals, &signal, sizeof signal);
    }
}

void batchSupervisor::readOutput(slot& child, bool untilEmpty)
{
    readPieces(child.process.output, untilEmpty, [&child](const char* bytes, std::size_t length) {
        const std::size_t room = keptOutputBytes - std::min(keptOutputBytes, child.output.size());
        child.output.append(bytes, std::min(room, length));
        child.outputCut = child.outputCut || length > room;
        return true;
    });
}

void batchSupervisor::readReplies(slot& worker, bool untilEmpty)
{
    readPieces(worker.process.replies, untilEmpty, [this, &worker](const char* bytes, std::size_t length) {
        if (worker.replies.add(bytes, length))
            return true;
        breakWorker(worker, "the batch worker wrote something that is no reply");
        return false;
    });
}

void batchSupervisor::takeReplies(slot& worker)
{
    readReplies(worker, worker.ending);
    while (!worker.broken) {
        const auto record = worker.replies.next();
        if (!record)
            return;
        const auto reply = workerProtocol::readReply(*record);
        if (!reply) {
            breakWorker(worker, "the batch worker wrote something that is no reply");
            return;
        }
        if (reply->index != worker.file) {
            breakWorker(worker, "the batch worker answered for a file it was not working on");
            return;
        }
        // Everything the file's messages wrote is in the pipe by now.
        readOutput(worker, true);
        finishFile(worker.file, reply->status, std::move(worker.output));
        worker.output.clear();
        worker.outputCut = false;
        feed(worker);
    }
}

// A child has ended: what it wrote and answered before is taken in first;
// a file it still held ends with its status.
void batchSupervisor::endSlot(std::list<slot>::iterator child)
{
    child->ending = true;
    if (child->process.output.isOpen())
        readOutput(*child, true);
    if (child->process.replies.isOpen())
        takeReplies(*child);
    int status = child->process.reap();
    if (child->file != slot::noFile) {
        if (child->outputCut)
            child->output += "\n(further output dropped)\n";
        if (usesWorkers() && status == exitStatus::success) {
            child->output += "the batch worker ended without answering\n";
            status = exitStatus::failure;
        }
        finishFile(child->file, status, std::move(child->output));
    }
    slots.erase(child);
}

void batchSupervisor::finishFile(std::size_t index, int status, std::string output)
{
    fileOutcome& outcome = results[index];
    outcome.result = stopSignal != 0 && status != exitStatus::success ? fileOutcome::state::notDone
                                                                      : fileOutcome::state::done;
    outcome.status = status;
    outcome.output = std::move(output);
    observer.fileFinished(index, outcome);
}

// The worker is killed and no longer listened to; the file it held is
// counted failed now, with the fault after its output. Its end still comes
// through its pidfd, which reaps it.
void batchSupervisor::breakWorker(slot& worker, const char* fault)
{
    worker.broken = true;
    worker.process.signal(SIGKILL);
    worker.process.requests.close();
    worker.process.replies.close();
    if (worker.file != slot::noFile) {
        readOutput(worker, true);
        std::string output = std::move(worker.output);
        if (!output.empty() && output.back() != '\n')
            output += '\n';
        finishFile(worker.file, exitStatus::failure, output + fault + "\n");
        worker.file = slot::noFile;
    }
    worker.output.clear();
}

void batchSupervisor::stop(int signal)
{
    if (stopSignal != 0) {
        killAll();
        return;
    }
    stopSignal = signal;
    stopDeadline = std::chrono::steady_clock::now() + settings.stopGrace;
    for (slot& child : slots) {
        child.process.signal(signal);
        child.process.requests.close();
    }
}

void batchSupervisor::killAll()
{
    killed = true;
    for (slot& child : slots)
        child.process.signal(SIGKILL);
}
