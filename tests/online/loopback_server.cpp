#include "loopback_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <stdexcept>

namespace imbrix::test {
namespace {

// The tests talk to their own servers only: keep any proxy of the environment out.
[[maybe_unused]] const bool kNoProxy = [] {
    for (const char* name :
         {"http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"}) {
        ::unsetenv(name);
    }
    ::setenv("no_proxy", "127.0.0.1,::1,localhost", 1);
    return true;
}();

int HexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

std::string DecodeComponent(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '+') {
            out.push_back(' ');
        } else if (text[i] == '%' && i + 2 < text.size() && HexValue(text[i + 1]) >= 0 &&
                   HexValue(text[i + 2]) >= 0) {
            out.push_back(static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2])));
            i += 2;
        } else {
            out.push_back(text[i]);
        }
    }
    return out;
}

}  // namespace

const TestCertificate& testCertificate() {
    static ScratchDir folder;
    static const TestCertificate certificate = [] {
        TestCertificate made{folder.file("cert.pem"), folder.file("key.pem")};
        std::string output;
        const int status = runCommand(
            {"openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
             "-nodes", "-keyout", made.keyFile, "-out", made.certFile, "-days", "1", "-subj",
             "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1"},
            &output);
        if (status != 0) {
            throw std::runtime_error("openssl could not make a test certificate: " + output);
        }
        return made;
    }();
    return certificate;
}

std::vector<std::pair<std::string, std::string>> DecodeForm(const std::string& body) {
    std::vector<std::pair<std::string, std::string>> fields;
    size_t start = 0;
    while (!body.empty() && start <= body.size()) {
        size_t end = body.find('&', start);
        if (end == std::string::npos) {
            end = body.size();
        }
        const std::string pair = body.substr(start, end - start);
        const size_t equals = pair.find('=');
        fields.emplace_back(
            DecodeComponent(pair.substr(0, equals)),
            equals == std::string::npos ? std::string() : DecodeComponent(pair.substr(equals + 1)));
        start = end + 1;
    }
    return fields;
}

LoopbackServer::LoopbackServer(bool secure, Handler handler) : handler_(std::move(handler)) {
    if (secure) {
        const auto& certificate = testCertificate();
        server_ = std::make_unique<httplib::SSLServer>(certificate.certFile.c_str(),
                                                       certificate.keyFile.c_str());
    } else {
        server_ = std::make_unique<httplib::Server>();
    }
    server_->Post(R"(/.*)", [this](const httplib::Request& request, httplib::Response& response) {
        SeenRequest seen{request.path, request.body, request.get_header_value("Content-Type"),
                         request.get_header_value("Connection"), DecodeForm(request.body)};
        {
            std::lock_guard lock(mutex_);
            requests_.push_back(seen);
        }
        handler_(seen, response);
    });
    port_ = server_->bind_to_any_port("127.0.0.1");
    if (port_ <= 0) {
        throw std::runtime_error("cannot listen on 127.0.0.1");
    }
    thread_ = std::thread([this] { server_->listen_after_bind(); });
    for (int i = 0; i < 500 && !server_->is_running(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

LoopbackServer::~LoopbackServer() {
    stopping_ = true;
    server_->stop();
    thread_.join();
}

std::vector<SeenRequest> LoopbackServer::requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

SilentServer::SilentServer() {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (listener_ < 0 ||
        ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener_, 16) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        if (listener_ >= 0) {
            ::close(listener_);
        }
        throw std::runtime_error("cannot listen on 127.0.0.1");
    }
    port_ = ntohs(address.sin_port);
}

SilentServer::~SilentServer() {
    for (int client : clients_) {
        ::close(client);
    }
    ::close(listener_);
}

// Connections on loopback are complete as soon as connect() returns; they wait in
// the listener's queue until accepted here.
void SilentServer::acceptPending() {
    for (;;) {
        const int client = ::accept4(listener_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (client < 0) {
            return;
        }
        clients_.push_back(client);
        closed_.push_back(false);
    }
}

// Takes in whatever the clients sent, never answering, and notes who has closed.
void SilentServer::readClients() {
    char buffer[4096];
    for (size_t i = 0; i < clients_.size(); ++i) {
        ssize_t got = 0;
        while (!closed_[i] && (got = ::recv(clients_[i], buffer, sizeof buffer, 0)) > 0) {
        }
        if (got == 0) {
            closed_[i] = true;
        }
    }
}

size_t SilentServer::connectionCount() {
    std::lock_guard lock(mutex_);
    acceptPending();
    return clients_.size();
}

size_t SilentServer::closedCount() {
    std::lock_guard lock(mutex_);
    acceptPending();
    readClients();
    return static_cast<size_t>(std::count(closed_.begin(), closed_.end(), true));
}

ScopedEnv::ScopedEnv(const char* name, const std::string& value) : name_(name) {
    if (const char* old = std::getenv(name)) {
        had_ = true;
        old_ = old;
    }
    ::setenv(name, value.c_str(), 1);
}

ScopedEnv::~ScopedEnv() {
    if (had_) {
        ::setenv(name_.c_str(), old_.c_str(), 1);
    } else {
        ::unsetenv(name_.c_str());
    }
}

}  // namespace imbrix::test
