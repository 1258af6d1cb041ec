#include "launcher/batchReport.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <cstring>

namespace {

const char* verbOf(commandKind command)
{
    return command == commandKind::encoder ? "encoded" : "decoded";
}

std::string signalName(int number)
{
    const char* abbreviation = sigabbrev_np(number);
    return abbreviation ? std::string("SIG") + abbreviation : "signal " + std::to_string(number);
}

} // namespace

std::string shown(std::string text)
{
    for (char& character : text) {
        if (static_cast<unsigned char>(character) < 0x20 || character == 0x7f)
            character = '?';
    }
    return text;
}

std::string failureReport(commandKind command, const std::string& file, const fileOutcome& outcome)
{
    std::string report = std::string(commandName(command)) + ": " + shown(file) + ": failed with status " +
        std::to_string(outcome.status) + "; its output:\n";
    std::size_t start = 0;
    while (start < outcome.output.size()) {
        std::size_t end = outcome.output.find('\n', start);
        if (end == std::string::npos)
            end = outcome.output.size();
        report += "  " + shown(outcome.output.substr(start, end - start)) + "\n";
        start = end + 1;
    }
    return report;
}

std::string summaryLine(commandKind command, const std::vector<fileOutcome>& outcomes, int stoppedBy)
{
    std::size_t written = 0, failed = 0, notDone = 0;
    for (const fileOutcome& outcome : outcomes) {
        if (outcome.result == fileOutcome::state::notDone)
            ++notDone;
        else if (outcome.failed())
            ++failed;
        else
            ++written;
    }
    std::string line = std::string(commandName(command)) + ": " + std::to_string(written) +
        (written == 1 ? " file " : " files ") + verbOf(command);
    if (failed > 0)
        line += ", " + std::to_string(failed) + " failed";
    if (notDone > 0) {
        line += ", " + std::to_string(notDone) + " not done";
        if (stoppedBy != 0)
            line += " (stopped by " + signalName(stoppedBy) + ")";
    }
    return line + "\n";
}

batchReporter::batchReporter(commandKind batchCommand, const std::vector<std::string>& batchFiles,
                             std::size_t terminalWidth, std::FILE* reportStream)
    : command(batchCommand), files(batchFiles), width(terminalWidth), stream(reportStream)
{
}

void batchReporter::fileStarted(std::size_t index)
{
    latest = index;
    showProgress();
}

void batchReporter::fileFinished(std::size_t index, const fileOutcome& outcome)
{
    if (outcome.result == fileOutcome::state::done)
        ++finished;
    if (outcome.failed()) {
        clearProgress();
        std::fputs(failureReport(command, files[index], outcome).c_str(), stream);
    }
    showProgress();
}

void batchReporter::printSummary(const std::vector<fileOutcome>& outcomes, int stoppedBy)
{
    clearProgress();
    std::fputs(summaryLine(command, outcomes, stoppedBy).c_str(), stream);
    std::fflush(stream);
}

void batchReporter::showProgress()
{
    if (width == 0 || files.empty())
        return;
    std::string line = "[" + std::to_string(finished) + "/" + std::to_string(files.size()) + "] " +
        shown(files[latest]);
    line.resize(std::min(line.size(), width - 1));
    std::fprintf(stream, "\r\033[K%s", line.c_str());
    std::fflush(stream);
}

void batchReporter::clearProgress()
{
    if (width > 0)
        std::fputs("\r\033[K", stream);
}

std::size_t terminalWidthOf(int descriptor)
{
    if (!isatty(descriptor))
        return 0;
    winsize size{};
    if (ioctl(descriptor, TIOCGWINSZ, &size) != 0 || size.ws_col == 0)
        return 80;
    return size.ws_col;
}
