#include "support/raw_http_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>

namespace velpic::test {

namespace {

using Clock = std::chrono::steady_clock;

// Waits at most step for fd to become readable; false on time-out.
bool readable(int fd, std::chrono::milliseconds step) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, static_cast<int>(step.count())) > 0;
}

std::size_t content_length(const std::string& head) {
    std::string lower = head;
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
    std::size_t at = lower.find("\r\ncontent-length:");
    if (at == std::string::npos)
        return 0;
    return static_cast<std::size_t>(std::strtoull(lower.c_str() + at + 17, nullptr, 10));
}

void send_all(int fd, const std::string& bytes) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0)
            return;
        sent += static_cast<std::size_t>(n);
    }
}

// A TCP socket bound to a free port on 127.0.0.1, or -1.
int bind_loopback(int& port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        port = ntohs(address.sin_port);
        return fd;
    }
    if (fd >= 0)
        ::close(fd);
    return -1;
}

} // namespace

RawHttpServer::RawHttpServer() {
    listen_fd_ = bind_loopback(port_);
    if (listen_fd_ >= 0 && ::listen(listen_fd_, 16) != 0) {
        ::close(listen_fd_);
        listen_fd_ = -1;
        port_ = 0;
    }
    if (listen_fd_ < 0)
        return;
    thread_ = std::thread([this] { accept_loop(); });
}

RawHttpServer::~RawHttpServer() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    if (thread_.joinable())
        thread_.join();
    if (listen_fd_ >= 0)
        ::close(listen_fd_);
}

std::string RawHttpServer::url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
}

void RawHttpServer::answer(RawAnswer answer) {
    std::lock_guard lock(mutex_);
    answers_.push_back(std::move(answer));
}

std::vector<std::string> RawHttpServer::requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

std::string RawHttpServer::last_request() const {
    std::lock_guard lock(mutex_);
    return requests_.empty() ? std::string() : requests_.back();
}

bool RawHttpServer::wait_for_requests(std::size_t n, std::chrono::milliseconds bound) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, bound, [&] { return requests_.size() >= n; });
}

std::string RawHttpServer::response(const std::string& status, const std::string& header_lines,
                                    const std::string& body) {
    return "HTTP/1.1 " + status + "\r\n" + header_lines + "Content-Length: " + std::to_string(body.size()) +
           "\r\nConnection: close\r\n\r\n" + body;
}

RawAnswer RawHttpServer::next_answer() {
    std::lock_guard lock(mutex_);
    if (!answers_.empty()) {
        last_answer_ = std::move(answers_.front());
        answers_.pop_front();
    }
    return last_answer_;
}

void RawHttpServer::accept_loop() {
    for (;;) {
        {
            std::lock_guard lock(mutex_);
            if (stopping_)
                return;
        }
        if (!readable(listen_fd_, std::chrono::milliseconds(50)))
            continue;
        int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            continue;
        serve(fd);
        ::close(fd);
    }
}

void RawHttpServer::serve(int fd) {
    // Everything is bounded, so a client that never finishes its request cannot hang the test.
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    std::string request;
    std::size_t wanted = std::string::npos;
    char buffer[16384];
    while (Clock::now() < deadline) {
        if (wanted == std::string::npos) {
            std::size_t end = request.find("\r\n\r\n");
            if (end != std::string::npos)
                wanted = end + 4 + content_length(request.substr(0, end + 2));
        }
        if (wanted != std::string::npos && request.size() >= wanted)
            break;
        if (!readable(fd, std::chrono::milliseconds(50)))
            continue;
        ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0)
            break;
        request.append(buffer, static_cast<std::size_t>(n));
    }
    RawAnswer answer = next_answer();
    {
        std::lock_guard lock(mutex_);
        requests_.push_back(request);
    }
    changed_.notify_all();
    send_all(fd, answer.bytes);
    if (answer.then == RawAnswer::Then::close)
        return;
    const auto hold_until = Clock::now() + std::chrono::seconds(20);
    while (Clock::now() < hold_until) {
        {
            std::lock_guard lock(mutex_);
            if (stopping_)
                return;
        }
        if (readable(fd, std::chrono::milliseconds(50)) && ::recv(fd, buffer, sizeof buffer, 0) <= 0)
            return;
    }
}

RefusingPort::RefusingPort() {
    fd_ = bind_loopback(port_);
}

RefusingPort::~RefusingPort() {
    if (fd_ >= 0)
        ::close(fd_);
}

std::string RefusingPort::url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
}

SilentPort::SilentPort() {
    fd_ = bind_loopback(port_);
    // Connections wait in the queue, never accepted; the kernel completes their handshakes.
    if (fd_ >= 0 && ::listen(fd_, 16) != 0) {
        ::close(fd_);
        fd_ = -1;
        port_ = 0;
    }
}

void SilentPort::close() {
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

} // namespace velpic::test
