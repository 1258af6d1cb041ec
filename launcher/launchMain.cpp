// pixveil-launch: the commands users run, pixveil and pixveil-decode, which
// their launchers in bin/ start as `pixveil-launch COMMAND ARGUMENT...`. It
// reads the command line, runs the program itself for a single file (the
// run's output and status are the program's), and supervises a batch: the
// encoder's workers or the decoder's programs, on the display in DISPLAY or
// on one private X server for the whole batch when that does not open.

#include "base/exitStatus.h"
#include "base/limits.h"
#include "base/standardDescriptors.h"
#include "launcher/batchPlan.h"
#include "launcher/batchReport.h"
#include "launcher/batchSupervisor.h"
#include "launcher/commandLine.h"
#include "launcher/supervisedChild.h"
#include "texture/textureArea.h"

#include <X11/Xlib.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

namespace {

constexpr const char* privateDisplayMarker = "PIXVEIL_PRIVATE_DISPLAY";
constexpr int stopSignals[] = {SIGINT, SIGTERM, SIGHUP};

int refuse(commandKind command, const std::string& problem)
{
    std::fprintf(stderr, "%s: %s\nTry '%s --help'.\n", commandName(command), shown(problem).c_str(),
                 commandName(command));
    return exitStatus::usage;
}

// The folder this program runs from, where the programs it starts are.
std::string ownFolder()
{
    char path[4096];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0)
        return ".";
    const std::string self(path, std::size_t(length));
    return self.substr(0, self.rfind('/'));
}

// DISPLAY may be set but not open, as in an ssh session without X forwarding.
bool displayOpens()
{
    const char* name = std::getenv("DISPLAY");
    if (name == nullptr || *name == '\0')
        return false;
    Display* display = XOpenDisplay(nullptr);
    if (display == nullptr)
        return false;
    XCloseDisplay(display);
    return true;
}

[[noreturn]] void execute(const std::vector<std::string>& arguments)
{
    replaceProcessWith(arguments);
    std::exit(exitStatus::failure);
}

std::vector<std::string> onPrivateDisplay(const std::string& folder, std::vector<std::string> arguments)
{
    arguments.insert(arguments.begin(), folder + "/xvfb-run-private");
    return arguments;
}

std::size_t countProcessors()
{
    cpu_set_t processors;
    if (sched_getaffinity(0, sizeof processors, &processors) == 0)
        return std::size_t(CPU_COUNT(&processors));
    return std::size_t(std::max(1L, sysconf(_SC_NPROCESSORS_ONLN)));
}

uint64_t availableMemory()
{
    std::ifstream meminfo("/proc/meminfo");
    std::string key;
    uint64_t kilobytes = 0;
    while (meminfo >> key >> kilobytes) {
        if (key == "MemAvailable:")
            return kilobytes * 1024;
        meminfo.ignore(64, '\n');
    }
    return UINT64_MAX;
}

std::size_t chooseJobs(const launchRequest& request)
{
    const std::size_t processors = countProcessors();
    uint64_t area = defaultTextureAreaLimit;
    std::string unused;
    readTextureAreaLimit(area, unused);
    const std::size_t jobs =
        request.jobs ? *request.jobs : defaultJobs(request.command, processors, availableMemory(), area);
    // Each program already spreads its own work over every core (the noise,
    // the seed search, Mesa's rasterizer): more programs than processors
    // only makes them take turns.
    return std::min(jobs, processors);
}

// Mesa's rasterizer starts a thread for every processor in every program:
// the programs of a batch share them out instead, unless told otherwise.
void shareOutRasterizerThreads(std::size_t jobs)
{
    if (jobs > 1)
        setenv("LP_NUM_THREADS", std::to_string(std::max<std::size_t>(1, countProcessors() / jobs)).c_str(), 0);
}

// SIGINT, SIGTERM and SIGHUP stop a batch cleanly; they are read from a
// signalfd, with SIGCHLD for the orphans the command adopts as its
// children's subreaper. A stop signal that was ignored when the command
// started (nohup) stays ignored, for the programs too.
int watchSignals()
{
    sigset_t watched;
    sigemptyset(&watched);
    sigaddset(&watched, SIGCHLD);
    for (int number : stopSignals) {
        struct sigaction current {};
        sigaction(number, nullptr, &current);
        if (current.sa_handler != SIG_IGN)
            sigaddset(&watched, number);
    }
    sigprocmask(SIG_BLOCK, &watched, nullptr);
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    return signalfd(-1, &watched, SFD_CLOEXEC);
}

// Ends the command by the signal that stopped the batch, as the shell
// expects of a command that a signal stopped.
[[noreturn]] void endBySignal(int number)
{
    signal(number, SIG_DFL);
    sigset_t just;
    sigemptyset(&just);
    sigaddset(&just, number);
    sigprocmask(SIG_UNBLOCK, &just, nullptr);
    raise(number);
    std::exit(exitStatus::signalBase + number);
}

int runBatch(const launchRequest& request, const std::vector<std::string>& files, const std::string& folder)
{
    const std::size_t jobs = chooseJobs(request);
    shareOutRasterizerThreads(jobs);
    batchSettings settings;
    settings.jobs = jobs;
    settings.adoptsOrphans = true;
    if (request.command == commandKind::encoder) {
        settings.workerArguments = workerArguments(request, folder + "/pixveil-worker");
    } else {
        const std::string program = folder + "/" + commandName(request.command);
        settings.programArguments = [&request, program](const std::string& file) {
            return programArguments(request, program, {file});
        };
    }
    const int signals = watchSignals();
    if (signals < 0) {
        std::fprintf(stderr, "%s: cannot watch for signals: %s\n", commandName(request.command),
                     std::strerror(errno));
        return exitStatus::failure;
    }
    batchReporter reporter(request.command, files, terminalWidthOf(STDERR_FILENO), stderr);
    batchSupervisor supervisor(settings, files, signals, reporter);
    supervisor.run();
    reporter.printSummary(supervisor.outcomes(), supervisor.stoppedBy());
    if (supervisor.stoppedBy() != 0)
        endBySignal(supervisor.stoppedBy());
    for (const fileOutcome& outcome : supervisor.outcomes()) {
        if (outcome.failed())
            return exitStatus::failure;
    }
    return exitStatus::success;
}

bool readCommand(const char* name, commandKind& command)
{
    for (commandKind kind : {commandKind::encoder, commandKind::decoder}) {
        if (std::strcmp(name, commandName(kind)) == 0) {
            command = kind;
            return true;
        }
    }
    return false;
}

} // namespace

int main(int argc, char** argv)
{
    openClosedStandardDescriptors();
    commandKind command;
    if (argc < 2 || !readCommand(argv[1], command)) {
        std::fprintf(stderr, "usage: pixveil-launch pixveil|pixveil-decode [ARGUMENT]...\n");
        return exitStatus::usage;
    }
    const std::vector<std::string> arguments(argv + 2, argv + argc);
    launchRequest request;
    std::string problem;
    if (!readCommandLine(command, arguments, request, problem))
        return refuse(command, problem);
    if (request.help) {
        std::cout << helpText(command);
        return exitStatus::success;
    }
    if (request.version) {
        std::cout << commandName(command) << " " << PIXVEIL_VERSION << "\n";
        return exitStatus::success;
    }
    if (auto refusal = refusalBeforeWork(request))
        return refuse(command, *refusal);
    const std::string folder = ownFolder();
    const bool needsPrivateDisplay = std::getenv(privateDisplayMarker) == nullptr && !displayOpens();
    if (isSingleRun(request)) {
        const auto program = programArguments(request, folder + "/" + commandName(command), request.names);
        execute(needsPrivateDisplay ? onPrivateDisplay(folder, program) : program);
    }
    // A batch shares one private server: the command starts again on it, and
    // the marker keeps it from asking for yet another.
    if (needsPrivateDisplay) {
        setenv(privateDisplayMarker, "1", 1);
        std::vector<std::string> again{folder + "/pixveil-launch", argv[1]};
        again.insert(again.end(), arguments.begin(), arguments.end());
        execute(onPrivateDisplay(folder, again));
    }
    const std::vector<std::string> files = collectFiles(request, std::cin);
    if (auto collision = findCollidingOutputs(request, files))
        return refuse(command, *collision);
    return runBatch(request, files, folder);
}
