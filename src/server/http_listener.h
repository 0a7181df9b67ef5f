// The server's own connection layer. One thread accepts connections and reads every request's head and body
// without blocking, each under a deadline; a bounded pool of workers only runs requests whose body is complete,
// and the connection thread writes their answers. So slow or idle clients hold a connection at most, never a
// worker, and an answer that needs no body (a refusal, the heartbeat, 413 for a declared length over the limit)
// goes out at once.
#pragma once

#include "server/http_head.h"

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace velpic {

struct HttpAnswer {
    int status = 200;
    std::string body;
    std::string content_type = "application/json; charset=utf-8";
    std::vector<std::pair<std::string, std::string>> headers;
    bool close = false; // close the connection after this answer
    std::string note;   // for the log line (UTF-8)
};

struct ListenerBounds {
    std::size_t body_limit = 64 * 1024 * 1024;
    std::size_t max_header_lines = 100;
    std::size_t max_head_bytes = 64 * 1024;
    int workers = 8;
    int max_connections = 256;
    std::chrono::milliseconds head_deadline{10000};   // from the connection (or the last answer) to a whole head
    std::chrono::milliseconds body_idle_limit{10000}; // longest wait for the next bytes of a body
    std::chrono::milliseconds write_deadline{30000};  // for a whole answer to be taken by the client
    std::chrono::milliseconds linger{2000};           // a closing connection's unread bytes are drained this long
};

class HttpHandler {
public:
    enum class Trouble { bad_request, head_too_large, body_too_large, stopping, internal_error };
    virtual ~HttpHandler() = default;
    // On the connection thread, as soon as a head is in: the answer to give at once without reading the body, or
    // none when the body is to be read and the request served by a worker. Must not block.
    virtual std::optional<HttpAnswer> screen(const HttpHead& head) = 0;
    // On a worker: the request with its whole body.
    virtual HttpAnswer serve(const HttpHead& head, std::string body) = 0;
    // The answers the connection layer gives on its own. head is null when none could be read.
    virtual HttpAnswer trouble(Trouble what, const HttpHead* head) = 0;
    // After an answer has been written in full (connection thread).
    virtual void answered(const HttpHead* head, const std::string& remote, const HttpAnswer& answer) = 0;
};

class HttpListener {
public:
    // handler must outlive the listener's threads (stop() ends them).
    HttpListener(ListenerBounds bounds, HttpHandler& handler);
    ~HttpListener();
    HttpListener(const HttpListener&) = delete;
    HttpListener& operator=(const HttpListener&) = delete;

    // Binds host:port (0: any free port) and starts serving. Empty on success, else why not (UTF-8).
    std::string listen(const std::string& host, int port);
    int port() const;

    // Closes the listening socket before returning; requests whose body is still arriving or that wait for a
    // worker are answered with Trouble::stopping, requests being served go on. when_finished is called once all
    // is answered (on the connection thread), or at once when nothing runs.
    void stop_accepting(std::function<void()> when_finished = {});
    // stop_accepting(), then waits for the threads to end.
    void stop();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace velpic
