#pragma once

#include "base/fileDescriptor.h"
#include "base/ownedChild.h"

#include <sys/types.h>

#include <string>
#include <utility>
#include <vector>

// What a child of the supervisor is given: its command, and whether it takes
// requests (a batch worker: requests on its standard input, replies on
// descriptor 3) or runs on one file (standard input /dev/null).
struct childCommand {
    std::vector<std::string> arguments;
    bool takesRequests = false;
};

// A process the supervisor started, with the supervisor's ends of its pipes
// and a pidfd that becomes readable when it ends. Its standard output and
// error share one pipe. A child holds only its own ends and its standard
// streams; it gets SIGTERM when the supervisor dies (even by SIGKILL), no
// blocked signals and SIGPIPE at its default, as programs have them, and the
// signals ignored when the command started (nohup) stay ignored. The destructor ends a
// child that still runs and reaps it, so that none is left behind.
class supervisedChild {
public:
    // False with the reason when the pipes or the process could not be made.
    // A command that cannot be run ends its child with status 127 and a line
    // in its output.
    bool start(const childCommand& command, std::string& problem);
    supervisedChild() = default;
    supervisedChild(supervisedChild&&) = default;
    supervisedChild& operator=(supervisedChild&&) = delete;

    pid_t id() const { return process.id(); }
    // Sends a signal while the child has not been reaped.
    void signal(int number) const;
    // Reaps the child once processEnd is readable; its status as a shell shows
    // it (128 + n for signal n).
    int reap();
    bool running() const { return process.owned(); }

    fileDescriptor processEnd; // readable once the child has ended
    fileDescriptor output;     // its standard output and error
    fileDescriptor requests;   // for a worker: its standard input
    fileDescriptor replies;    // for a worker: its descriptor 3

private:
    ownedChild process;
};

// Runs `arguments` (the program's path first) in place of this process;
// returns only when it cannot, after the line "cannot run PROGRAM: reason" on
// standard error.
void replaceProcessWith(const std::vector<std::string>& arguments);

// The processes whose parent this process is now: those it started, and,
// when it is a subreaper, the orphans of their descendants.
std::vector<pid_t> childrenOfThisProcess();
