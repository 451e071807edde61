#include "renewal_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <csignal>
#include <stdexcept>

namespace tessaly::renewal_server {
namespace {

constexpr std::size_t kMaxHead = 64 * 1024;
constexpr std::size_t kMaxBody = 4 * 1024 * 1024;
constexpr std::size_t kMaxOutstanding = 1024;

using SslPtr = std::unique_ptr<SSL, OpenSslReleaser<SSL, SSL_free>>;

void require(bool condition, const char* what) {
    if (!condition) {
        ERR_clear_error();
        throw std::runtime_error(std::string("renewal server: ") + what);
    }
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

std::string_view trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
        text.remove_prefix(1);
    }
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) {
        text.remove_suffix(1);
    }
    return text;
}

std::string_view reasonPhrase(int status) {
    switch (status) {
        case 200:
            return "OK";
        case 302:
            return "Found";
        case 400:
            return "Bad Request";
        case 404:
            return "Not Found";
        case 407:
            return "Proxy Authentication Required";
        case 500:
            return "Internal Server Error";
        case 503:
            return "Service Unavailable";
        default:
            return "Status";
    }
}

std::string freshChallenge() {
    unsigned char random[16];
    require(RAND_bytes(random, sizeof random) == 1, "random challenge");
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string text;
    for (const unsigned char byte : random) {
        text.push_back(kHex[byte >> 4]);
        text.push_back(kHex[byte & 0x0F]);
    }
    return text;
}

bool writeAll(SSL* ssl, std::string_view data) {
    while (!data.empty()) {
        const int chunk = static_cast<int>(std::min<std::size_t>(data.size(), 1 << 20));
        const int written = SSL_write(ssl, data.data(), chunk);
        if (written <= 0) {
            return false;
        }
        data.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

// Inserts a filler header line so that `head` (ending in the empty line) is `length` bytes.
void padHead(std::string& head, std::size_t length) {
    constexpr std::string_view kFiller = "X-Filler: \r\n";
    if (length < head.size() + kFiller.size()) {
        return;  // cannot be that short: left as it is
    }
    std::string line = "X-Filler: ";
    line.append(length - head.size() - kFiller.size(), 'x');
    line += "\r\n";
    head.insert(head.size() - 2, line);
}

// Resets the connection: the client sees RST instead of an orderly end.
void resetAndClose(int socket) {
    const linger abort{1, 0};
    ::setsockopt(socket, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    ::close(socket);
}

}  // namespace

Reply Reply::challengeText() {
    Reply reply = text({});
    reply.challenge = true;
    return reply;
}

Reply Reply::text(std::string shiftJisBody) {
    Reply reply;
    reply.contentType = "text/plain; charset=Shift_JIS";
    reply.body = std::move(shiftJisBody);
    return reply;
}

Reply Reply::pkcs12(std::string package, bool exportable) {
    Reply reply;
    reply.contentType = "application/x-pkcs12";
    reply.body = std::move(package);
    reply.extraHeaders.push_back(exportable ? "X-Exportable: 1" : "X-Exportable: 0");
    return reply;
}

Reply Reply::renewal() {
    Reply reply;
    reply.renew = true;
    return reply;
}

std::optional<std::string> ReceivedRequest::header(std::string_view name) const {
    for (const auto& [key, value] : headers) {
        if (equalsIgnoringCase(key, name)) {
            return value;
        }
    }
    return std::nullopt;
}

struct Server::TlsContext {
    SSL_CTX* context = nullptr;
    ~TlsContext() { SSL_CTX_free(context); }
};

struct Server::Connection {
    int socket = -1;
    std::thread thread;
    bool finished = false;  // guarded by the server's mutex
};

Server::Server(Config config) : config_(std::move(config)), tls_(std::make_unique<TlsContext>()) {
    if (config_.renewal) {
        authority_ = std::make_unique<RenewalAuthority>(*config_.renewal);
    }
    // A client that goes away mid-write must not end the process.
    std::signal(SIGPIPE, SIG_IGN);

    tls_->context = SSL_CTX_new(TLS_server_method());
    SSL_CTX* context = tls_->context;
    require(context != nullptr, "TLS context");
    SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
    if (config_.maxTlsVersion != 0) {
        SSL_CTX_set_max_proto_version(context, config_.maxTlsVersion);
    }
    {
        const std::vector<X509Owner> chain = certificatesFromPem(config_.certificateChainPem);
        require(!chain.empty() && SSL_CTX_use_certificate(context, chain.front().get()) == 1,
                "server certificate");
        for (std::size_t i = 1; i < chain.size(); ++i) {
            require(SSL_CTX_add1_chain_cert(context, chain[i].get()) == 1, "certificate chain");
        }
        const KeyOwner key = keyFromPem(config_.privateKeyPem);
        require(SSL_CTX_use_PrivateKey(context, key.get()) == 1 &&
                    SSL_CTX_check_private_key(context) == 1,
                "server key");
    }
    if (!config_.clientCaPem.empty()) {
        const X509Owner authority = certificateFromPem(config_.clientCaPem);
        require(X509_STORE_add_cert(SSL_CTX_get_cert_store(context), authority.get()) == 1,
                "client CA trusted");
        STACK_OF(X509_NAME)* names = sk_X509_NAME_new_null();
        require(names != nullptr, "client CA names");
        sk_X509_NAME_push(names, X509_NAME_dup(X509_get_subject_name(authority.get())));
        SSL_CTX_set_client_CA_list(context, names);
        SSL_CTX_set_verify(context, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
    }

    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    require(listener_ >= 0, "socket");
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t length = sizeof address;
    int pipe[2];
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener_, 64) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
        ::pipe2(pipe, O_CLOEXEC) != 0) {
        ::close(listener_);
        require(false, "listening socket");
    }
    wakeRead_ = pipe[0];
    wakeWrite_ = pipe[1];
    port_ = ntohs(address.sin_port);
    acceptor_ = std::thread([this] { acceptLoop(); });
}

Server::~Server() {
    stop();
}

void Server::stop() {
    {
        const std::lock_guard lock(mutex_);
        stopping_ = true;
        for (const auto& connection : active_) {
            if (!connection->finished) {
                ::shutdown(connection->socket, SHUT_RDWR);
            }
        }
    }
    changed_.notify_all();
    if (acceptor_.joinable()) {
        const char byte = 'x';
        [[maybe_unused]] const auto written = ::write(wakeWrite_, &byte, 1);
        acceptor_.join();
    }
    std::vector<std::unique_ptr<Connection>> all;
    {
        const std::lock_guard lock(mutex_);
        all.swap(active_);
    }
    for (const auto& connection : all) {
        connection->thread.join();
        if (connection->socket >= 0) {
            ::close(connection->socket);
        }
    }
    for (int* descriptor : {&listener_, &wakeRead_, &wakeWrite_}) {
        if (*descriptor >= 0) {
            ::close(*descriptor);
            *descriptor = -1;
        }
    }
}

void Server::acceptLoop() {
    for (;;) {
        pollfd watched[2] = {{listener_, POLLIN, 0}, {wakeRead_, POLLIN, 0}};
        if (::poll(watched, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        if (watched[1].revents != 0) {
            return;
        }
        if ((watched[0].revents & POLLIN) == 0) {
            continue;
        }
        const int socket = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (socket < 0) {
            continue;
        }
        // Replies and TLS records go out at once, not held back waiting for an ACK.
        const int noDelay = 1;
        ::setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof noDelay);
        const std::lock_guard lock(mutex_);
        if (stopping_) {
            ::close(socket);
            return;
        }
        // Reap connections that have ended; their sockets are closed only here, so a socket
        // number is never reused while stop() may still shut it down.
        for (auto it = active_.begin(); it != active_.end();) {
            if ((*it)->finished) {
                (*it)->thread.join();
                if ((*it)->socket >= 0) {
                    ::close((*it)->socket);
                }
                it = active_.erase(it);
            } else {
                ++it;
            }
        }
        const int index = ++connections_;
        auto connection = std::make_unique<Connection>();
        connection->socket = socket;
        Connection* record = connection.get();
        connection->thread = std::thread([this, record, socket, index] {
            const bool reset = serve(socket, index);
            const std::lock_guard done(mutex_);
            if (reset) {
                // Closed here, under the lock, so stop() never shuts down a reused number.
                resetAndClose(socket);
                record->socket = -1;
            }
            record->finished = true;
        });
        active_.push_back(std::move(connection));
    }
}

void Server::park() {
    std::unique_lock lock(mutex_);
    ++parked_;
    changed_.notify_all();
    changed_.wait(lock, [this] { return stopping_; });
    --parked_;
}

Reply Server::replyFor(const ReceivedRequest& request) {
    Reply reply = request.body.empty() ? config_.first : config_.second;
    if (reply.challenge) {
        const std::string challenge = freshChallenge();
        {
            const std::lock_guard lock(mutex_);
            challenges_.push_back(challenge);
            const auto now = std::chrono::steady_clock::now();
            // Challenges never redeemed expire; a flood of first requests cannot grow the list
            // past a bound.
            std::erase_if(outstanding_, [&](const Outstanding& entry) {
                return now - entry.issued > config_.challengeLifetime;
            });
            if (outstanding_.size() >= kMaxOutstanding) {
                outstanding_.erase(outstanding_.begin());
            }
            outstanding_.push_back({challenge, now});
        }
        reply.body = "0:" + challenge + reply.body;
    }
    if (reply.renew) {
        reply.extraHeaders.erase(
            std::remove_if(
                reply.extraHeaders.begin(), reply.extraHeaders.end(),
                [](const std::string& line) { return line.starts_with("X-Exportable:"); }),
            reply.extraHeaders.end());
        RenewalOutcome outcome;
        if (authority_) {
            outcome = authority_->renew(
                request.body, [this](std::string_view challenge) { return redeem(challenge); });
        } else {
            outcome.refusal = Refusal::NotIssued;
            outcome.refusalShiftJis = refusalText(Refusal::NotIssued);
        }
        if (outcome.refusal) {
            reply.contentType = "text/plain; charset=Shift_JIS";
            reply.body = std::move(outcome.refusalShiftJis);
        } else {
            reply.contentType = "application/x-pkcs12";
            reply.extraHeaders.push_back(authority_->exportable() ? "X-Exportable: 1"
                                                                  : "X-Exportable: 0");
            reply.secret = true;
            reply.body = std::move(outcome.package.text());  // takes the block; wiped after send
        }
    }
    return reply;
}

bool Server::redeem(std::string_view challenge) {
    const std::lock_guard lock(mutex_);
    const auto now = std::chrono::steady_clock::now();
    std::erase_if(outstanding_, [&](const Outstanding& entry) {
        return now - entry.issued > config_.challengeLifetime;
    });
    const auto found =
        std::find_if(outstanding_.begin(), outstanding_.end(),
                     [&](const Outstanding& entry) { return entry.challenge == challenge; });
    if (found == outstanding_.end()) {
        return false;
    }
    outstanding_.erase(found);
    return true;
}

bool Server::serve(int socket, int index) {
    if (config_.stallHandshake) {
        park();
        ::shutdown(socket, SHUT_RDWR);
        return false;
    }
    SslPtr ssl(SSL_new(tls_->context));
    if (!ssl || SSL_set_fd(ssl.get(), socket) != 1 || SSL_accept(ssl.get()) != 1) {
        ERR_clear_error();
        ::shutdown(socket, SHUT_RDWR);
        return false;
    }
    std::string subject;
    if (X509* peer = SSL_get1_peer_certificate(ssl.get())) {
        char line[512];
        X509_NAME_oneline(X509_get_subject_name(peer), line, sizeof line);
        subject = line;
        X509_free(peer);
    }
    {
        const std::lock_guard lock(mutex_);
        ++handshakes_;
    }
    changed_.notify_all();

    std::string input;
    const auto readMore = [&] {
        char buffer[16384];
        const int count = SSL_read(ssl.get(), buffer, sizeof buffer);
        if (count <= 0) {
            return false;
        }
        input.append(buffer, static_cast<std::size_t>(count));
        return true;
    };
    bool graceful = true;
    bool reset = false;
    for (;;) {
        std::size_t headEnd = 0;
        while ((headEnd = input.find("\r\n\r\n")) == std::string::npos) {
            if (input.size() > kMaxHead || !readMore()) {
                headEnd = std::string::npos;
                break;
            }
        }
        if (headEnd == std::string::npos) {
            break;
        }
        ReceivedRequest request;
        request.connection = index;
        request.clientCertificateSubject = subject;
        const std::string_view head = std::string_view(input).substr(0, headEnd);
        const std::size_t lineEnd = std::min(head.find("\r\n"), head.size());
        const std::string_view requestLine = head.substr(0, lineEnd);
        const auto firstSpace = requestLine.find(' ');
        const auto lastSpace = requestLine.rfind(' ');
        if (firstSpace == std::string_view::npos || lastSpace == firstSpace) {
            break;
        }
        request.method = requestLine.substr(0, firstSpace);
        request.target = requestLine.substr(firstSpace + 1, lastSpace - firstSpace - 1);
        std::size_t at = lineEnd;
        while (at < head.size()) {
            const std::size_t start = at + 2;
            const std::size_t end = std::min(head.find("\r\n", start), head.size());
            const std::string_view line = head.substr(start, end - start);
            const auto colon = line.find(':');
            if (colon != std::string_view::npos) {
                request.headers.emplace_back(line.substr(0, colon), trim(line.substr(colon + 1)));
            }
            at = end;
        }
        input.erase(0, headEnd + 4);

        std::size_t bodyLength = 0;
        if (const auto length = request.header("Content-Length")) {
            const auto [end, error] =
                std::from_chars(length->data(), length->data() + length->size(), bodyLength);
            if (error != std::errc() || end != length->data() + length->size()) {
                break;
            }
        }
        if (bodyLength > kMaxBody) {
            break;
        }
        if (bodyLength > 0 && request.header("Expect").has_value() &&
            !writeAll(ssl.get(), "HTTP/1.1 100 Continue\r\n\r\n")) {
            break;
        }
        bool complete = true;
        while (input.size() < bodyLength) {
            if (!readMore()) {
                complete = false;
                break;
            }
        }
        if (!complete) {
            break;
        }
        request.body = input.substr(0, bodyLength);
        input.erase(0, bodyLength);
        const bool clientCloses =
            equalsIgnoringCase(request.header("Connection").value_or(""), "close");
        Reply reply = replyFor(request);
        // The package is a secret: its bytes are wiped once sent, on every way out.
        struct WipeBody {
            Reply& reply;
            ~WipeBody() {
                if (reply.secret) {
                    OPENSSL_cleanse(reply.body.data(), reply.body.size());
                }
            }
        } wipeBody{reply};
        {
            const std::lock_guard lock(mutex_);
            requests_.push_back(std::move(request));
        }
        changed_.notify_all();

        const bool closes = reply.closeAfter || !reply.contentLength || clientCloses;
        std::string out = "HTTP/1.1 " + std::to_string(reply.status) + " ";
        out += reasonPhrase(reply.status);
        out += "\r\n";
        if (reply.contentType) {
            out += "Content-Type: " + *reply.contentType + "\r\n";
        }
        if (reply.contentLength) {
            out += "Content-Length: " +
                   reply.declaredLength.value_or(std::to_string(reply.body.size())) + "\r\n";
        }
        for (const std::string& line : reply.extraHeaders) {
            out += line + "\r\n";
        }
        if (closes) {
            out += "Connection: close\r\n";
        }
        out += "\r\n";
        if (reply.headLength != 0) {
            padHead(out, reply.headLength);
        }
        if (reply.cut == Reply::Cut::ResetMidHead) {
            writeAll(ssl.get(), std::string_view(out).substr(0, out.size() / 2));
            graceful = false;
            reset = true;
            break;
        }
        if (reply.cut == Reply::Cut::HangBeforeHead) {
            park();
            graceful = false;
            break;
        }
        if (reply.cut != Reply::Cut::None) {
            const std::string_view half =
                std::string_view(reply.body).substr(0, reply.body.size() / 2);
            if (reply.secret) {
                writeAll(ssl.get(), out) && writeAll(ssl.get(), half);
            } else {
                writeAll(ssl.get(), out + std::string(half));
            }
            if (reply.cut == Reply::Cut::HangMidBody) {
                park();
            }
            graceful = false;
            reset = reply.cut == Reply::Cut::ResetMidBody;
            break;
        }
        // A secret body goes out from its own buffer, not through a copy joined to the head.
        const bool written =
            (reply.secret ? writeAll(ssl.get(), out) && writeAll(ssl.get(), reply.body)
                          : writeAll(ssl.get(), out + reply.body)) &&
            writeAll(ssl.get(), reply.excess);
        if (!written || closes) {
            break;
        }
    }
    if (graceful) {
        SSL_shutdown(ssl.get());
    }
    ERR_clear_error();
    if (!reset) {
        ::shutdown(socket, SHUT_RDWR);
    }
    return reset;
}

int Server::handshakes() const {
    const std::lock_guard lock(mutex_);
    return handshakes_;
}

int Server::connections() const {
    const std::lock_guard lock(mutex_);
    return connections_;
}

std::vector<ReceivedRequest> Server::requests() const {
    const std::lock_guard lock(mutex_);
    return requests_;
}

std::vector<std::string> Server::challenges() const {
    const std::lock_guard lock(mutex_);
    return challenges_;
}

bool Server::waitForParked(int count, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return parked_ >= count; });
}

}  // namespace tessaly::renewal_server
