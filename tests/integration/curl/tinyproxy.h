// tinyproxy on 127.0.0.1 with Basic authentication, started for one test and stopped by it.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>

#include "child_process.h"

namespace tessaly::curltest {

class Tinyproxy {
  public:
    Tinyproxy(const std::string& user, const std::string& password);
    ~Tinyproxy();
    Tinyproxy(const Tinyproxy&) = delete;
    Tinyproxy& operator=(const Tinyproxy&) = delete;

    std::uint16_t port() const { return port_; }
    std::string url() const { return "http://127.0.0.1:" + std::to_string(port_); }

  private:
    std::filesystem::path directory_;
    std::unique_ptr<ChildProcess> process_;
    std::thread drain_;  // reads its log so that it never blocks on a full pipe
    std::uint16_t port_ = 0;
};

}  // namespace tessaly::curltest
