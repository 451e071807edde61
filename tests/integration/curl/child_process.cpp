#include "child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>

namespace tessaly::curltest {

ChildProcess::ChildProcess(const std::vector<std::string>& arguments) {
    int toChild[2];
    int fromChild[2];
    if (::pipe2(toChild, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe");
    }
    if (::pipe2(fromChild, O_CLOEXEC) != 0) {
        ::close(toChild[0]);
        ::close(toChild[1]);
        throw std::runtime_error("pipe");
    }
    std::vector<char*> argv;
    for (const std::string& argument : arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);
    const pid_t parent = ::getpid();
    pid_t child = ::fork();
    if (child == 0) {
        // Only async-signal-safe calls from here to exec. The child dies with the test, so a
        // test that crashes leaves nothing running; its output, errors included, goes to us.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent || ::dup2(toChild[0], STDIN_FILENO) < 0 ||
            ::dup2(fromChild[1], STDOUT_FILENO) < 0 || ::dup2(fromChild[1], STDERR_FILENO) < 0) {
            ::_exit(127);
        }
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(toChild[0]);
    ::close(fromChild[1]);
    input_ = toChild[1];
    output_ = fromChild[0];
    if (child < 0) {
        ::close(input_);
        ::close(output_);
        throw std::runtime_error("cannot start " + arguments.front());
    }
    pid_ = child;
}

ChildProcess::~ChildProcess() {
    stop();
    if (input_ >= 0) {
        ::close(input_);
    }
    ::close(output_);
}

std::optional<std::string> ChildProcess::readLine(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (const auto end = buffered_.find('\n'); end != std::string::npos) {
            std::string line = buffered_.substr(0, end);
            buffered_.erase(0, end + 1);
            return line;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            return std::nullopt;
        }
        pollfd watched{output_, POLLIN, 0};
        if (::poll(&watched, 1, static_cast<int>(left.count())) <= 0) {
            continue;
        }
        char chunk[512];
        const ssize_t count = ::read(output_, chunk, sizeof chunk);
        if (count <= 0) {
            return std::nullopt;
        }
        buffered_.append(chunk, static_cast<std::size_t>(count));
    }
}

void ChildProcess::closeInput() {
    if (input_ >= 0) {
        ::close(input_);
        input_ = -1;
    }
}

std::optional<int> ChildProcess::wait(std::chrono::milliseconds timeout) {
    if (pid_ < 0) {
        return std::nullopt;
    }
    // A process descriptor becomes readable when the process exits.
    const int exitWatch = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));
    if (exitWatch >= 0) {
        pollfd watched{exitWatch, POLLIN, 0};
        ::poll(&watched, 1, static_cast<int>(timeout.count()));
        ::close(exitWatch);
    }
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) != pid_) {
        return std::nullopt;
    }
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

bool ChildProcess::running() {
    if (pid_ < 0) {
        return false;
    }
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return false;
    }
    return true;
}

void ChildProcess::stop() {
    if (pid_ < 0) {
        return;
    }
    ::kill(pid_, SIGTERM);
    if (!wait(std::chrono::seconds(5))) {
        ::kill(pid_, SIGKILL);
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
    }
}

}  // namespace tessaly::curltest
