// What the hardening tests share: the process's open descriptors, a port nobody listens on,
// and the renewal job run on a worker thread while the test's thread plays the watchdog.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>

#include "observed_internet.h"
#include "platform/certificate_services.h"
#include "renewal/renewal_job.h"

namespace tessaly::hardening {

// Bytes the heap has handed out and not taken back (the sanitizer's count under ASan), and the
// process's resident set.
std::size_t heapInUse();
std::size_t residentBytes();

// The process's open descriptors: number -> what it refers to.
std::map<int, std::string> openDescriptors();

// A TCP port on 127.0.0.1 that is bound, so nobody else can take it, but not listening: a
// connection to it is refused. Released with the object.
class RefusingPort {
  public:
    RefusingPort();
    ~RefusingPort();
    RefusingPort(const RefusingPort&) = delete;
    RefusingPort& operator=(const RefusingPort&) = delete;
    std::uint16_t port() const { return port_; }

  private:
    int socket_ = -1;
    std::uint16_t port_ = 0;
};

// Runs the job on a worker thread over `net`; meanwhile `watchdog` runs on the calling thread
// (it may close the published root through `net`). Returns the job's result once the worker
// has ended.
int runJobWatched(platform::CertificateServices& certs, ObservedInternet& net, RenewalJob& job,
                  const std::function<void()>& watchdog);

}  // namespace tessaly::hardening
