// A bare HTTP listener on 127.0.0.1: records every request byte for byte and answers each connection with the
// next queued answer, each used once (when none is queued, the last one used is repeated). One request per
// connection; the connection is closed after answering unless the answer says to hold it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace velpic::test {

struct RawAnswer {
    enum class Then { close, hold };
    std::string bytes; // sent as they are once the request is read; may be empty
    // hold: keep the connection open without sending more, until the client gives up (or 20 s pass).
    Then then = Then::close;

    static RawAnswer silent() { return {"", Then::hold}; }
    static RawAnswer close_at_once() { return {"", Then::close}; }
};

class RawHttpServer {
public:
    RawHttpServer(); // starts listening at once on a free port
    ~RawHttpServer();
    RawHttpServer(const RawHttpServer&) = delete;
    RawHttpServer& operator=(const RawHttpServer&) = delete;

    int port() const { return port_; }
    // "http://127.0.0.1:PORT" followed by path.
    std::string url(const std::string& path = "/") const;

    // Queues an answer; before the first, connections get "HTTP/1.1 200 OK" with an empty body.
    void answer(RawAnswer answer);
    void answer(std::string bytes) { answer(RawAnswer{std::move(bytes), RawAnswer::Then::close}); }

    // Request bytes as received: head up to the blank line, plus the body as far as Content-Length says.
    std::vector<std::string> requests() const;
    std::string last_request() const;
    bool wait_for_requests(std::size_t n, std::chrono::milliseconds bound = std::chrono::seconds(10)) const;

    // "HTTP/1.1 <status>\r\n" + header lines + Content-Length + "Connection: close" + blank line + body.
    static std::string response(const std::string& status, const std::string& header_lines, const std::string& body);

private:
    void accept_loop();
    void serve(int fd);
    RawAnswer next_answer();

    int listen_fd_ = -1;
    int port_ = 0;
    std::thread thread_;
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    bool stopping_ = false;
    std::deque<RawAnswer> answers_;
    RawAnswer last_answer_{response("200 OK", "", ""), RawAnswer::Then::close};
    std::vector<std::string> requests_;
};

// A port on 127.0.0.1 that refuses every connection while the object lives: bound but never listening, so no
// other process can take the port in the meantime.
class RefusingPort {
public:
    RefusingPort();
    ~RefusingPort();
    RefusingPort(const RefusingPort&) = delete;
    RefusingPort& operator=(const RefusingPort&) = delete;

    int port() const { return port_; }
    // "http://127.0.0.1:PORT" followed by path.
    std::string url(const std::string& path = "/") const;

private:
    int fd_ = -1;
    int port_ = 0;
};

// A server on 127.0.0.1 that takes connections and never says a word, as a hung server does: the client waits for
// its greeting until its own time-out. Closing it (destruction or close()) resets every connection at once.
class SilentPort {
public:
    SilentPort();
    ~SilentPort() { close(); }
    SilentPort(const SilentPort&) = delete;
    SilentPort& operator=(const SilentPort&) = delete;

    int port() const { return port_; }
    void close();

private:
    int fd_ = -1;
    int port_ = 0;
};

} // namespace velpic::test
