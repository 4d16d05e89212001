// A small HTTP or HTTPS server on 127.0.0.1 for the online tests, with a test
// certificate made for the run.
#pragma once

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/testsupport.h"

namespace imbrix::test {

/// A self-signed certificate for 127.0.0.1, made once per test program with the
/// openssl tool (kept in a scratch folder until the program ends).
struct TestCertificate {
    std::string certFile;
    std::string keyFile;
};
const TestCertificate& testCertificate();

/// One request as the server saw it.
struct SeenRequest {
    std::string path;
    std::string body;
    std::string contentType;
    std::string connection;
    std::vector<std::pair<std::string, std::string>> fields;  // decoded, in order
};

/// Serves POST requests on any path with `handler` until destroyed; records every
/// request it sees.
class LoopbackServer {
public:
    using Handler = std::function<void(const SeenRequest&, httplib::Response&)>;
    /// `secure`: HTTPS with testCertificate().
    explicit LoopbackServer(bool secure, Handler handler);
    ~LoopbackServer();
    LoopbackServer(const LoopbackServer&) = delete;
    LoopbackServer& operator=(const LoopbackServer&) = delete;

    int port() const { return port_; }
    /// "127.0.0.1:<port>", a service host.
    std::string host() const { return "127.0.0.1:" + std::to_string(port_); }
    std::vector<SeenRequest> requests() const;
    size_t requestCount() const { return requests().size(); }
    /// Set when the server is going away; slow handlers should give up.
    const std::atomic<bool>& stopping() const { return stopping_; }

private:
    std::unique_ptr<httplib::Server> server_;
    Handler handler_;
    int port_ = 0;
    std::thread thread_;
    mutable std::mutex mutex_;
    std::vector<SeenRequest> requests_;
    std::atomic<bool> stopping_{false};
};

/// A server on 127.0.0.1 that accepts every connection and never answers, neither
/// a TLS handshake nor an HTTP request: a service that hangs. Keeps each
/// connection open until the client closes it or the server goes away.
class SilentServer {
public:
    SilentServer();
    ~SilentServer();
    SilentServer(const SilentServer&) = delete;
    SilentServer& operator=(const SilentServer&) = delete;

    /// "127.0.0.1:<port>", a service host.
    std::string host() const { return "127.0.0.1:" + std::to_string(port_); }
    /// How many connections were made so far, those still waiting to be accepted
    /// included.
    size_t connectionCount();
    /// How many of them the client has closed.
    size_t closedCount();

private:
    void acceptPending();
    void readClients();

    int listener_ = -1;
    int port_ = 0;
    std::mutex mutex_;
    std::vector<int> clients_;
    std::vector<bool> closed_;
};

/// Decodes an application/x-www-form-urlencoded body into its fields, in order.
std::vector<std::pair<std::string, std::string>> DecodeForm(const std::string& body);

/// Environment variable set for the life of the object, restored afterwards.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const std::string& value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::string name_;
    bool had_ = false;
    std::string old_;
};

}  // namespace imbrix::test
