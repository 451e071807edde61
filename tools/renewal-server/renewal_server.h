// The reference renewal server for tests, the demo and benchmarks: HTTPS (OpenSSL) on
// 127.0.0.1 at a port chosen when it starts.
//
// A POST with an empty body is the first request of a renewal: by default it is answered with
// "0:" and a fresh challenge as text/plain in Shift_JIS. A POST with a body is the second
// request: it gets the scripted second reply; when that reply is Reply::renewal(), the server
// verifies the signed proof and answers with a renewed certificate or a refusal (renewal.h). Either
// reply can be scripted to misbehave (status, Content-Type, no Content-Length, long headers, hang,
// cut body). The server counts completed TLS handshakes and records every request it reads, so
// tests can see connection reuse and what reached it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "renewal.h"

namespace tessaly::renewal_server {

struct Reply {
    enum class Cut {
        None,
        HangBeforeHead,  // reads the request, then answers nothing until the server stops
        HangMidBody,     // sends the head and half the body, then waits until the server stops
        CloseMidBody,    // sends the head and half the body, then closes the connection
        ResetMidHead,    // sends half the head, then resets the connection (RST, no FIN)
        ResetMidBody,    // sends the head and half the body, then resets the connection
    };

    int status = 200;
    std::optional<std::string> contentType;  // none: no Content-Type line
    std::string body;
    std::vector<std::string> extraHeaders;  // whole lines, "Name: value"
    bool contentLength = true;              // false: the body ends when the connection closes
    bool closeAfter = false;                // "Connection: close", then close
    // Written as the Content-Length instead of the body's length (e.g. "4294967295").
    std::optional<std::string> declaredLength;
    // Sent right after the body, beyond its Content-Length.
    std::string excess;
    // Not 0: a filler header line makes the head, from the status line to the empty line that
    // ends it, exactly this many bytes long (at least the head's own length + 12).
    std::size_t headLength = 0;
    Cut cut = Cut::None;
    // The body is "0:", a fresh challenge made for each request, then `body` (usually empty).
    bool challenge = false;
    // Content type, body and X-Exportable come from the renewal of the request (Config::renewal):
    // application/x-pkcs12, or a refusal as text/plain in Shift_JIS. The other fields stay as
    // scripted, so a renewal can still be made to misbehave.
    bool renew = false;
    bool secret = false;  // set for a package: the body is wiped once sent

    // The first answer of a renewal: text/plain in Shift_JIS carrying a fresh challenge.
    static Reply challengeText();
    // text/plain; charset=Shift_JIS
    static Reply text(std::string shiftJisBody);
    // application/x-pkcs12 with "X-Exportable: 1" or "X-Exportable: 0"
    static Reply pkcs12(std::string package, bool exportable);
    // The second answer of a renewal: the outcome of verifying the proof and renewing.
    static Reply renewal();
};

struct Config {
    std::string certificateChainPem;  // the server's certificate, then its issuers
    std::string privateKeyPem;
    std::string clientCaPem;      // not empty: a client certificate issued by this CA is required
    int maxTlsVersion = 0;        // 0: the library's highest; else e.g. TLS1_2_VERSION
    bool stallHandshake = false;  // accept connections, never answer the TLS handshake
    Reply first = Reply::challengeText();
    Reply second = Reply::text("\x83\x47\x83\x89\x81\x5B");  // "エラー"
    // What a renewal needs (accepted CAs, the issuing CA); without it a Reply::renewal() is
    // answered with a refusal.
    std::optional<RenewalSettings> renewal;
    // How long an issued challenge may be redeemed (once) by a second request on any connection.
    std::chrono::seconds challengeLifetime = std::chrono::minutes(5);
};

struct ReceivedRequest {
    std::string method;
    std::string target;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;
    int connection = 0;                    // 1 for the first connection accepted, and so on
    std::string clientCertificateSubject;  // one line; empty when none was presented

    // The value of the first header of that name (any case); none when absent.
    std::optional<std::string> header(std::string_view name) const;
};

class Server {
  public:
    // Starts listening and serving. Throws std::runtime_error when it cannot.
    explicit Server(Config config);
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    std::uint16_t port() const { return port_; }
    // Releases every hang, closes every connection and waits for all of it to end.
    void stop();

    int handshakes() const;
    int connections() const;
    std::vector<ReceivedRequest> requests() const;
    std::vector<std::string> challenges() const;  // in the order issued
    // Waits until `count` connections are held by a hang or a stalled handshake.
    bool waitForParked(int count, std::chrono::milliseconds timeout) const;

  private:
    struct Connection;

    void acceptLoop();
    // Serves one connection; true when it is to be reset rather than closed in order.
    bool serve(int socket, int index);
    void park();
    Reply replyFor(const ReceivedRequest& request);
    // Takes `challenge` out of the outstanding ones; false when it is not among them.
    bool redeem(std::string_view challenge);

    struct Outstanding {
        std::string challenge;
        std::chrono::steady_clock::time_point issued;
    };

    Config config_;
    std::unique_ptr<RenewalAuthority> authority_;
    struct TlsContext;
    std::unique_ptr<TlsContext> tls_;
    int listener_ = -1;
    int wakeRead_ = -1;
    int wakeWrite_ = -1;
    std::uint16_t port_ = 0;

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    bool stopping_ = false;
    int handshakes_ = 0;
    int connections_ = 0;
    int parked_ = 0;
    std::vector<ReceivedRequest> requests_;
    std::vector<std::string> challenges_;
    std::vector<Outstanding> outstanding_;
    std::vector<std::unique_ptr<Connection>> active_;
    std::thread acceptor_;
};

}  // namespace tessaly::renewal_server
