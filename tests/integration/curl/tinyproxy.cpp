#include "tinyproxy.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <stdexcept>

namespace tessaly::curltest {
namespace {

// A port that was free a moment ago. tinyproxy needs its port in its configuration.
std::uint16_t freePort() {
    const int probe = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    const bool bound = probe >= 0 &&
                       ::bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
                       ::getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length) == 0;
    if (probe >= 0) {
        ::close(probe);
    }
    if (!bound) {
        throw std::runtime_error("no free port");
    }
    return ntohs(address.sin_port);
}

}  // namespace

Tinyproxy::Tinyproxy(const std::string& user, const std::string& password) {
    std::string pattern = (std::filesystem::temp_directory_path() / "tessaly-proxy-XXXXXX");
    if (::mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("temporary directory");
    }
    directory_ = pattern;
    const std::filesystem::path config = directory_ / "tinyproxy.conf";
    // A port picked here may be taken before tinyproxy binds it; then try another.
    for (int attempt = 0; attempt < 5 && !process_; ++attempt) {
        port_ = freePort();
        {
            std::ofstream out(config);
            out << "Port " << port_ << "\n"
                << "Listen 127.0.0.1\n"
                << "Timeout 30\n"
                << "MaxClients 16\n"
                << "Allow 127.0.0.1\n"
                << "BasicAuth " << user << " " << password << "\n"
                << "DisableViaHeader Yes\n"
                << "LogLevel Info\n";
        }
        auto process = std::make_unique<ChildProcess>(
            std::vector<std::string>{TINYPROXY_PROGRAM, "-d", "-c", config.string()});
        // It logs this line once it listens.
        while (const auto line = process->readLine(std::chrono::seconds(10))) {
            if (line->find("Accepting connections") != std::string::npos) {
                process_ = std::move(process);
                break;
            }
        }
    }
    if (!process_) {
        std::filesystem::remove_all(directory_);
        throw std::runtime_error("tinyproxy did not start");
    }
    drain_ = std::thread([process = process_.get()] {
        while (process->readLine(std::chrono::hours(1))) {
        }
    });
}

Tinyproxy::~Tinyproxy() {
    process_->stop();  // its output ends, and with it the drain
    drain_.join();
    std::error_code ignored;
    std::filesystem::remove_all(directory_, ignored);
}

}  // namespace tessaly::curltest
