#pragma once

#include <signal.h>
#include <sys/types.h>
#include <sys/wait.h>

#include <cerrno>
#include <utility>

// A child process of this program's, killed (SIGKILL) and reaped when its
// owner goes unless it was waited for or released first, so that no early
// return leaves one running or unreaped. Once reaped its id is forgotten: the
// system may give it to another process.
class ownedChild {
public:
    ownedChild() = default;
    explicit ownedChild(pid_t id) : process(id > 0 ? id : -1) {}
    ownedChild(ownedChild&& other) noexcept : process(std::exchange(other.process, -1)) {}
    ownedChild& operator=(ownedChild&& other) noexcept
    {
        if (this != &other) {
            killAndReap();
            process = std::exchange(other.process, -1);
        }
        return *this;
    }
    ~ownedChild() { killAndReap(); }

    // -1 when there is none, or it was reaped or released.
    pid_t id() const { return process; }
    bool owned() const { return process > 0; }
    void signal(int number) const
    {
        if (process > 0)
            ::kill(process, number);
    }
    // Waits for it to end and reaps it: its wait status (0 when there is none).
    int wait()
    {
        int status = 0;
        if (process > 0)
            while (waitpid(process, &status, 0) < 0 && errno == EINTR) { }
        process = -1;
        return status;
    }
    // Reaps it if it has ended, without waiting: true, with its wait status.
    bool reapIfEnded(int& status)
    {
        if (process <= 0 || waitpid(process, &status, WNOHANG) != process)
            return false;
        process = -1;
        return true;
    }
    void killAndReap()
    {
        signal(SIGKILL);
        wait();
    }
    // The caller reaps it from now on.
    pid_t release() { return std::exchange(process, -1); }

private:
    pid_t process = -1;
};
