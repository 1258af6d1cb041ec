#include "core/atomicOutput.h"

#include "core/bmpCapture.h"
#include "core/bmpLayout.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The temporary file's name in the output's directory (rename cannot cross
// file systems), whose six X's mkstemp replaces. It is short and of fixed
// length so that it fits wherever the output's own name fits: the output's
// name with a suffix would not, near the file system's limit of 255 bytes.
// It tells whoever finds a leftover what it was.
constexpr char temporaryName[] = "pixveil.tmp.XXXXXX";

// What the signal handler needs, prepared before the temporary file exists:
// the handler may only make async-signal-safe calls, so it cannot format a
// path or consult a std::string.
char pendingTemporaryPath[PATH_MAX];
volatile std::sig_atomic_t temporaryFileExists = 0;
struct sigaction previousInterruptAction;
struct sigaction previousTerminateAction;
bool handlersInstalled = false;

const struct sigaction& previousActionFor(int signalNumber)
{
    return signalNumber == SIGINT ? previousInterruptAction : previousTerminateAction;
}

// Removes the temporary file, then gives the signal back to whatever handled
// it before (normally the default action, which ends the process by it).
extern "C" void removeTemporaryFileOnSignal(int signalNumber)
{
    if (temporaryFileExists) {
        unlink(pendingTemporaryPath);
        temporaryFileExists = 0;
    }
    sigaction(signalNumber, &previousActionFor(signalNumber), nullptr);
    // The signal is blocked while its handler runs; it is delivered again,
    // to the restored action, as soon as this handler returns.
    raise(signalNumber);
}

sigset_t exitSignals()
{
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    return signals;
}

// Holds SIGINT and SIGTERM back for its lifetime, so that the handlers and the
// temporary file come and go together. Mesa starts its worker threads with all
// signals blocked, so the thread writing the file is the one that gets them.
class exitSignalsHeld {
public:
    exitSignalsHeld()
    {
        sigset_t signals = exitSignals();
        pthread_sigmask(SIG_BLOCK, &signals, &previousMask);
    }
    ~exitSignalsHeld() { pthread_sigmask(SIG_SETMASK, &previousMask, nullptr); }
    exitSignalsHeld(const exitSignalsHeld&) = delete;
    exitSignalsHeld& operator=(const exitSignalsHeld&) = delete;

private:
    sigset_t previousMask;
};

// A signal someone chose to ignore (nohup, a background job of a script)
// stays ignored: the write then simply runs to its end.
void installHandler(int signalNumber, struct sigaction& previousAction)
{
    sigaction(signalNumber, nullptr, &previousAction);
    if (previousAction.sa_handler == SIG_IGN) {
        return;
    }
    struct sigaction action {};
    action.sa_handler = removeTemporaryFileOnSignal;
    action.sa_mask = exitSignals();
    sigaction(signalNumber, &action, nullptr);
}

void installHandlers()
{
    installHandler(SIGINT, previousInterruptAction);
    installHandler(SIGTERM, previousTerminateAction);
    handlersInstalled = true;
}

void restoreHandlers()
{
    sigaction(SIGINT, &previousInterruptAction, nullptr);
    sigaction(SIGTERM, &previousTerminateAction, nullptr);
    handlersInstalled = false;
}

// Callers take errno before building `what`, which may allocate.
std::string describeError(const std::string& what, int errorNumber)
{
    return what + ": " + std::strerror(errorNumber);
}

// The directory part of `path` with its final '/', or "" for a bare name, so
// that a relative output stays relative.
std::string directoryPrefixOf(const std::string& path)
{
    std::string::size_type slash = path.find_last_of('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string directoryOf(const std::string& path)
{
    std::string::size_type slash = path.find_last_of('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

// The permissions a file newly created by fopen would get, which is what the
// output had before it was written through a temporary file.
mode_t newFileMode()
{
    mode_t mask = umask(0);
    umask(mask);
    return 0666 & ~mask;
}

// What the finished file takes over from the output it replaces.
struct fileAttributes {
    mode_t mode;
    bool keepsGroup;
    gid_t group;
};

// A replaced output keeps its permission bits and group, so that encoding a
// private (0600) picture again does not make it readable by everyone. A new
// output, or one that is a symbolic link or no regular file (it is replaced
// by a file of its own), gets what a newly created file gets; so does one that
// belongs to someone else, who could otherwise plant a file there to choose
// the output's mode and group.
fileAttributes attributesToKeep(const char* outputPath)
{
    struct stat status {};
    if (lstat(outputPath, &status) == 0 && S_ISREG(status.st_mode) && status.st_uid == geteuid()) {
        return {static_cast<mode_t>(status.st_mode & 0777), true, status.st_gid};
    }
    return {newFileMode(), false, 0};
}

// Only root and members of the group may give a file to a group. Where the
// group cannot be kept, the group bits are dropped: they would otherwise
// grant access to whichever group the file got instead.
bool applyAttributes(int descriptor, const fileAttributes& attributes, std::string& failureReason)
{
    mode_t mode = attributes.mode;
    if (attributes.keepsGroup && fchown(descriptor, static_cast<uid_t>(-1), attributes.group) != 0) {
        mode &= ~static_cast<mode_t>(S_IRWXG);
    }
    if (fchmod(descriptor, mode) != 0) {
        const int error = errno;
        failureReason =
            describeError(std::string("cannot set the permissions of '") + pendingTemporaryPath + "'", error);
        return false;
    }
    return true;
}

// Creates the temporary file; its descriptor is the only way it is reached.
bool createTemporaryFile(const char* outputPath, int& descriptor, std::string& failureReason)
{
    const std::string temporaryPath = directoryPrefixOf(outputPath) + temporaryName;
    if (temporaryPath.size() >= sizeof pendingTemporaryPath) {
        failureReason = "the path is too long for a temporary file beside it";
        return false;
    }
    std::strcpy(pendingTemporaryPath, temporaryPath.c_str());

    exitSignalsHeld held;
    descriptor = mkostemp(pendingTemporaryPath, O_CLOEXEC);
    if (descriptor < 0) {
        const int error = errno;
        failureReason = describeError("cannot create a temporary file in '" + directoryOf(outputPath) + "'", error);
        return false;
    }
    installHandlers();
    temporaryFileExists = 1;
    return true;
}

// Runs the writer on an unbuffered stream of its own over the temporary
// file's descriptor (a duplicate, so that closing the stream leaves ours
// open), and closes the stream, where a full disk may show.
bool writeThroughStream(int descriptor, const temporaryFileWriter& writeTemporary, std::string& failureReason)
{
    const int streamDescriptor = fcntl(descriptor, F_DUPFD_CLOEXEC, 0);
    std::FILE* stream = streamDescriptor < 0 ? nullptr : fdopen(streamDescriptor, "wb");
    if (stream == nullptr) {
        const int error = errno;
        if (streamDescriptor >= 0)
            close(streamDescriptor);
        failureReason = describeError(std::string("cannot write '") + pendingTemporaryPath + "'", error);
        return false;
    }
    std::setvbuf(stream, nullptr, _IONBF, 0);
    const bool written = writeTemporary(stream, pendingTemporaryPath, failureReason);
    if (std::fclose(stream) != 0 && written) {
        const int error = errno;
        failureReason = describeError(std::string("cannot close '") + pendingTemporaryPath + "'", error);
        return false;
    }
    if (!written && failureReason.empty())
        failureReason = "writing the file failed";
    return written;
}

void discardTemporaryFile()
{
    exitSignalsHeld held;
    if (temporaryFileExists) {
        unlink(pendingTemporaryPath);
        temporaryFileExists = 0;
    }
    if (handlersInstalled) {
        restoreHandlers();
    }
}

// A writer that misses its own stream errors (a full disk while writing or
// closing) leaves a short file, found here by its size. Errors the kernel
// defers to write-back show in fsync. mkstemp made the file readable by its
// owner only; its final permissions come only now, once it is complete.
bool checkAndFlushTemporaryFile(int descriptor, std::uint64_t expectedSize, const fileAttributes& attributes,
                                std::string& failureReason)
{
    struct stat status {};
    if (fstat(descriptor, &status) != 0) {
        const int error = errno;
        failureReason = describeError(std::string("cannot examine '") + pendingTemporaryPath + "'", error);
        return false;
    }
    if (static_cast<std::uint64_t>(status.st_size) != expectedSize) {
        failureReason = "the written file has " + std::to_string(status.st_size) + " bytes instead of "
                        + std::to_string(expectedSize) + " (is the disk full?)";
        return false;
    }
    if (!applyAttributes(descriptor, attributes, failureReason))
        return false;
    if (fsync(descriptor) != 0) {
        const int error = errno;
        failureReason = describeError(std::string("cannot flush '") + pendingTemporaryPath + "' to disk", error);
        return false;
    }
    return true;
}

// Whether the temporary name still leads to the file written, and not to
// something planted in its place (a symbolic link to another file, say),
// which the rename would otherwise put at the output path.
bool nameIsStillTheFileWritten(int descriptor, std::string& failureReason)
{
    struct stat written {};
    struct stat named {};
    if (fstat(descriptor, &written) == 0 && lstat(pendingTemporaryPath, &named) == 0
        && named.st_dev == written.st_dev && named.st_ino == written.st_ino)
        return true;
    failureReason = std::string("'") + pendingTemporaryPath + "' was removed or replaced while it was written";
    return false;
}

// Signals stay held across the rename so that the handler never sees a
// temporary name that rename has already freed (and that another run's
// mkstemp might take).
bool renameTemporaryFileOver(const char* outputPath, std::string& failureReason)
{
    exitSignalsHeld held;
    if (rename(pendingTemporaryPath, outputPath) != 0) {
        const int error = errno;
        failureReason = describeError(std::string("cannot rename '") + pendingTemporaryPath + "' over it", error);
        unlink(pendingTemporaryPath);
    }
    temporaryFileExists = 0;
    restoreHandlers();
    return failureReason.empty();
}

// The rename itself is only durable once the directory is on disk. Some file
// systems cannot flush a directory and say so with EINVAL; nothing is lost
// there by skipping it.
bool flushDirectoryOf(const char* outputPath, std::string& failureReason)
{
    std::string directory = directoryOf(outputPath);
    int descriptor = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (descriptor < 0) {
        const int error = errno;
        failureReason = describeError(
            "the rename may not survive a crash: cannot open the directory '" + directory + "'", error);
        return false;
    }
    bool good = fsync(descriptor) == 0 || errno == EINVAL;
    if (!good) {
        const int error = errno;
        failureReason = describeError(
            "the rename may not survive a crash: cannot flush the directory '" + directory + "' to disk", error);
    }
    close(descriptor);
    return good;
}

} // namespace

bool replaceFileAtomically(const char* outputPath, std::uint64_t expectedSize,
                           const temporaryFileWriter& writeTemporary, std::string& failureReason)
{
    failureReason.clear();
    if (outputPath == nullptr || *outputPath == '\0') {
        failureReason = "no output path";
        return false;
    }
    if (temporaryFileExists) {
        failureReason = "another file is being written";
        return false;
    }
    const fileAttributes attributes = attributesToKeep(outputPath);
    int descriptor = -1;
    if (!createTemporaryFile(outputPath, descriptor, failureReason)) {
        discardTemporaryFile();
        return false;
    }
    const bool complete = writeThroughStream(descriptor, writeTemporary, failureReason)
                          && checkAndFlushTemporaryFile(descriptor, expectedSize, attributes, failureReason)
                          && nameIsStillTheFileWritten(descriptor, failureReason);
    if (close(descriptor) != 0 && complete) {
        const int error = errno;
        failureReason = describeError(std::string("cannot close '") + pendingTemporaryPath + "'", error);
        discardTemporaryFile();
        return false;
    }
    if (!complete) {
        discardTemporaryFile();
        return false;
    }
    failureReason.clear();
    return renameTemporaryFileOver(outputPath, failureReason) && flushDirectoryOf(outputPath, failureReason);
}

std::string outputFolderProblem(const char* folder)
{
    struct stat status {};
    if (stat(folder, &status) != 0)
        return std::strerror(errno);
    return S_ISDIR(status.st_mode) ? "" : "it is not a directory";
}

bool saveCaptureAtomically(const char* outputPath, int width, int height, std::string& failureReason)
{
    if (width <= 0 || height <= 0) {
        failureReason = "the capture is empty (" + std::to_string(width) + " x " + std::to_string(height) + ")";
        return false;
    }
    const auto captureWidth = static_cast<std::uint32_t>(width);
    const auto captureHeight = static_cast<std::uint32_t>(height);
    auto writeFrame = [captureWidth, captureHeight](std::FILE* file, const char* temporaryPath,
                                                    std::string& reason) {
        return writeCapture(file, temporaryPath, captureWidth, captureHeight, reason);
    };
    return replaceFileAtomically(outputPath, bmpFileSize(captureWidth, captureHeight), writeFrame, failureReason);
}
