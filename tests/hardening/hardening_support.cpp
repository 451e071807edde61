#include "hardening_support.h"

#include <arpa/inet.h>
#include <malloc.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <system_error>
#include <thread>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
// The sanitizer runtime's own count (g++ ships no header declaring it).
extern "C" std::size_t __sanitizer_get_current_allocated_bytes();
#endif

namespace tessaly::hardening {

namespace fs = std::filesystem;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
std::size_t heapInUse() {
    return __sanitizer_get_current_allocated_bytes();
}
#else
std::size_t heapInUse() {
    const struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
}
#endif

std::size_t residentBytes() {
    std::ifstream statm("/proc/self/statm");
    std::size_t pages = 0;
    std::size_t resident = 0;
    statm >> pages >> resident;
    return resident * static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
}

std::map<int, std::string> openDescriptors() {
    std::map<int, std::string> open;
    for (const fs::directory_entry& entry : fs::directory_iterator("/proc/self/fd")) {
        std::error_code error;
        const fs::path target = fs::read_symlink(entry.path(), error);
        // The listing's own descriptor is gone by the time its link is read.
        if (!error) {
            open.emplace(std::stoi(entry.path().filename().string()), target.string());
        }
    }
    return open;
}

RefusingPort::RefusingPort() {
    socket_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (socket_ < 0 ||
        ::bind(socket_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(socket_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        if (socket_ >= 0) {
            ::close(socket_);
        }
        throw std::runtime_error("no port to refuse connections on");
    }
    port_ = ntohs(address.sin_port);
}

RefusingPort::~RefusingPort() {
    ::close(socket_);
}

int runJobWatched(platform::CertificateServices& certs, ObservedInternet& net, RenewalJob& job,
                  const std::function<void()>& watchdog) {
    int result = -1;
    std::thread worker([&] { result = _doImport(certs, net, job, job.url, job.password); });
    try {
        watchdog();
    } catch (...) {
        worker.join();
        throw;
    }
    worker.join();
    return result;
}

}  // namespace tessaly::hardening
