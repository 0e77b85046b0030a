// A small HTTP/1.1 server for /metrics and /health: one thread with an event loop over non-blocking
// sockets, so that a slow or silent client holds a connection slot, never the server. Every
// connection has a deadline for the whole exchange; at most kMaxConnections are open (the oldest is
// closed for a newcomer). The listening socket has no SO_REUSEPORT: a second server on the same
// address fails to start instead of sharing it. Optional basic authentication (bcrypt hashes) and
// TLS (OpenSSL, TLS 1.2 and later). A bcrypt check takes tens of milliseconds: it runs on a thread
// of its own while the loop serves on, and its verdict is remembered (bounded), so that clients with
// wrong passwords do not slow the others' scrapes.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

struct ssl_ctx_st;

namespace tarvik::gateway {

class HttpServer {
public:
    static constexpr std::size_t kMaxConnections = 64;
    static constexpr std::size_t kMaxRequest = 8192;
    static constexpr auto kDeadline = std::chrono::seconds(5);
    static constexpr std::size_t kMaxGranted = 16;  // Authorization headers remembered as good
    static constexpr std::size_t kMaxRefused = 64;  // and as wrong
    static constexpr std::size_t kMaxChecking = 16; // distinct headers waiting for bcrypt (then 503)

    struct Response {
        int status = 200;
        std::string contentType = "text/plain; charset=utf-8";
        std::string body;
    };
    using Handler = std::function<Response(const std::string& path)>;

    // `users`: user name -> bcrypt hash; empty: no authentication.
    HttpServer(Handler handler, std::vector<std::pair<std::string, std::string>> users);
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    // Serves HTTPS with this certificate chain and key (PEM); false with `error`.
    bool EnableTls(const std::string& certFile, const std::string& keyFile, std::string& error);
    // Binds and listens (port 0: any free port); the port, or -1 with `error`.
    int Listen(const std::string& host, int port, std::string& error);
    void Start();
    void Stop(); // at once, whatever the clients do (a bcrypt check under way ends in the destructor)

private:
    struct Connection;
    enum class Verdict { Granted, Refused, Unknown };
    // The bcrypt checks, on their own thread: headers in, verdicts out (the loop is woken by `done`).
    struct Checker {
        std::mutex mutex;
        std::condition_variable cv;
        std::deque<std::pair<std::string, std::string>> queue; // header, hash to check it against
        std::vector<std::pair<std::string, bool>> verdicts;
        bool stop = false;
        int done[2] = {-1, -1};
        std::thread thread;
    };
    void Run();
    void Accept(std::vector<Connection>& connections);
    bool Advance(Connection& c); // false when the connection is done
    void Close(Connection& c);
    // recv/send, through TLS when on: bytes moved, 0 to wait (c.events says for what), -1 done.
    long Receive(Connection& c, char* buffer, std::size_t size);
    long Send(Connection& c);
    static long SslRetry(Connection& c, int n);
    // The answer to a complete request, or none yet when its credentials wait for the checker.
    bool Respond(Connection& c);
    void Answer(Connection& c, const Response& r);
    Verdict Judge(const std::string& header, std::string& hash) const;
    void Check(); // the checker thread
    void TakeVerdicts(std::vector<Connection>& connections);
    void StopChecker();

    Handler handler_;
    std::vector<std::pair<std::string, std::string>> users_;
    std::deque<std::string> granted_, refused_; // Authorization headers judged already
    std::vector<std::string> checking_;         // headers handed to the checker
    int listen_ = -1;
    ssl_ctx_st* tls_ = nullptr;
    int wake_[2] = {-1, -1};
    std::thread thread_;
    Checker checker_;
};

} // namespace tarvik::gateway
