// A program started by a test and always stopped by it: SIGTERM, then SIGKILL if it lingers,
// and reaped. Its standard input and output are pipes the test holds.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace tessaly::curltest {

class ChildProcess {
  public:
    explicit ChildProcess(const std::vector<std::string>& arguments);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // The next line of its output, without the line end; none when the output ended or
    // nothing came within `timeout`.
    std::optional<std::string> readLine(std::chrono::milliseconds timeout);
    // Closes its standard input.
    void closeInput();
    // Waits for it to exit on its own; its exit status, or none after `timeout`.
    std::optional<int> wait(std::chrono::milliseconds timeout);
    bool running();
    void stop();

  private:
    pid_t pid_ = -1;
    int input_ = -1;
    int output_ = -1;
    std::string buffered_;
};

}  // namespace tessaly::curltest
