#include "core/atomicOutput.h"

#include "core/bmpLayout.h"

#include <GL/gl.h>
#include <SOIL/SOIL.h>

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
// by a file of its own), gets what a newly created file gets.
fileAttributes attributesToKeep(const char* outputPath)
{
    struct stat status {};
    if (lstat(outputPath, &status) == 0 && S_ISREG(status.st_mode)) {
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

bool createTemporaryFile(const char* outputPath, std::string& failureReason)
{
    const std::string temporaryPath = directoryPrefixOf(outputPath) + temporaryName;
    if (temporaryPath.size() >= sizeof pendingTemporaryPath) {
        failureReason = "the path is too long for a temporary file beside it";
        return false;
    }
    std::strcpy(pendingTemporaryPath, temporaryPath.c_str());

    exitSignalsHeld held;
    int descriptor = mkstemp(pendingTemporaryPath);
    if (descriptor < 0) {
        const int error = errno;
        failureReason = describeError("cannot create a temporary file in '" + directoryOf(outputPath) + "'", error);
        return false;
    }
    installHandlers();
    temporaryFileExists = 1;
    if (close(descriptor) != 0) {
        const int error = errno;
        failureReason = describeError(std::string("cannot close '") + pendingTemporaryPath + "'", error);
        return false;
    }
    return true;
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

// The writer's own stream errors (a full disk while writing or closing) are
// invisible to us, as SOIL does not report them; they show as a short file.
// Errors the kernel defers to write-back show in fsync. mkstemp made the file
// readable by its owner only, and SOIL reopened it by path and kept that; its
// final permissions come only now, as a read-only output's would have kept the
// writer out.
bool checkAndFlushTemporaryFile(std::uint64_t expectedSize, const fileAttributes& attributes,
                                std::string& failureReason)
{
    int descriptor = open(pendingTemporaryPath, O_RDONLY | O_CLOEXEC);
    if (descriptor < 0) {
        const int error = errno;
        failureReason = describeError(std::string("cannot reopen '") + pendingTemporaryPath + "'", error);
        return false;
    }
    struct stat status {};
    bool good = true;
    if (fstat(descriptor, &status) != 0) {
        const int error = errno;
        failureReason = describeError(std::string("cannot examine '") + pendingTemporaryPath + "'", error);
        good = false;
    } else if (!S_ISREG(status.st_mode)) {
        failureReason = std::string("'") + pendingTemporaryPath + "' is no longer a regular file";
        good = false;
    } else if (static_cast<std::uint64_t>(status.st_size) != expectedSize) {
        failureReason = "the written file has " + std::to_string(status.st_size) + " bytes instead of "
                        + std::to_string(expectedSize) + " (is the disk full?)";
        good = false;
    } else if (!applyAttributes(descriptor, attributes, failureReason)) {
        good = false;
    } else if (fsync(descriptor) != 0) {
        const int error = errno;
        failureReason = describeError(std::string("cannot flush '") + pendingTemporaryPath + "' to disk", error);
        good = false;
    }
    if (close(descriptor) != 0 && good) {
        const int error = errno;
        failureReason = describeError(std::string("cannot close '") + pendingTemporaryPath + "'", error);
        good = false;
    }
    return good;
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
    if (!createTemporaryFile(outputPath, failureReason)) {
        discardTemporaryFile();
        return false;
    }
    if (!writeTemporary(pendingTemporaryPath, failureReason)) {
        if (failureReason.empty()) {
            failureReason = "writing the file failed";
        }
        discardTemporaryFile();
        return false;
    }
    failureReason.clear();
    if (!checkAndFlushTemporaryFile(expectedSize, attributes, failureReason)) {
        discardTemporaryFile();
        return false;
    }
    return renameTemporaryFileOver(outputPath, failureReason) && flushDirectoryOf(outputPath, failureReason);
}

bool saveCaptureAtomically(const char* outputPath, int width, int height, std::string& failureReason)
{
    if (width <= 0 || height <= 0) {
        failureReason = "the capture is empty (" + std::to_string(width) + " x " + std::to_string(height) + ")";
        return false;
    }
    // SOIL reads the pixels into a buffer of exactly 3 bytes a pixel; at the
    // default pack alignment of 4 OpenGL would pad each row and write past it.
    GLint callersAlignment = 4;
    glGetIntegerv(GL_PACK_ALIGNMENT, &callersAlignment);
    glPixelStorei(GL_PACK_ALIGNMENT, 1);
    auto writeWithSoil = [width, height](const char* temporaryPath, std::string& reason) {
        if (SOIL_save_screenshot(temporaryPath, SOIL_SAVE_TYPE_BMP, 0, 0, width, height) != 0) {
            return true;
        }
        reason = std::string("SOIL could not write it: ") + SOIL_last_result();
        return false;
    };
    const std::uint64_t expectedSize =
        bmpFileSize(static_cast<std::uint32_t>(width), static_cast<std::uint32_t>(height));
    bool saved = replaceFileAtomically(outputPath, expectedSize, writeWithSoil, failureReason);
    glPixelStorei(GL_PACK_ALIGNMENT, callersAlignment);
    return saved;
}
