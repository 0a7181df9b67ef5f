#include "server/http_listener.h"

#include "server/chunked_body.h"

#include <arpa/inet.h>
#include <malloc.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <new>
#include <stdexcept>
#include <system_error>
#include <thread>

namespace velpic {

namespace {

using Clock = std::chrono::steady_clock;

// Bodies at least this large give their memory back to the system once served.
constexpr std::size_t kTrimAfter = 1024 * 1024;

// How long a stop waits for heads that have begun to arrive.
constexpr std::chrono::milliseconds kStopGrace{1000};

const char* status_text(int status) {
    switch (status) {
    case 100:
        return "Continue";
    case 200:
        return "OK";
    case 204:
        return "No Content";
    case 400:
        return "Bad Request";
    case 401:
        return "Unauthorized";
    case 403:
        return "Forbidden";
    case 404:
        return "Not Found";
    case 405:
        return "Method Not Allowed";
    case 413:
        return "Payload Too Large";
    case 431:
        return "Request Header Fields Too Large";
    case 500:
        return "Internal Server Error";
    case 501:
        return "Not Implemented";
    case 503:
        return "Service Unavailable";
    default:
        return "Unknown";
    }
}

std::string answer_bytes(const HttpAnswer& answer, bool close) {
    std::string out = "HTTP/1.1 " + std::to_string(answer.status) + " " + status_text(answer.status) + "\r\n";
    if (answer.status != 204) {
        out += "Content-Type: " + answer.content_type + "\r\n";
        out += "Content-Length: " + std::to_string(answer.body.size()) + "\r\n";
    }
    for (const auto& [name, value] : answer.headers)
        out += name + ": " + value + "\r\n";
    out += close ? "Connection: close\r\n\r\n" : "Connection: keep-alive\r\n\r\n";
    if (answer.status != 204)
        out += answer.body;
    return out;
}

std::string remote_text(const sockaddr_storage& address) {
    char text[INET6_ADDRSTRLEN] = {};
    if (address.ss_family == AF_INET)
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in&>(address).sin_addr, text, sizeof text);
    else if (address.ss_family == AF_INET6)
        inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6&>(address).sin6_addr, text, sizeof text);
    return text;
}

// Digits only, and no more than a size can hold.
bool parse_length(const std::string& text, std::size_t& length) {
    if (text.empty() || text.size() > 18 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    length = static_cast<std::size_t>(std::stoull(text));
    return true;
}

} // namespace

struct HttpListener::Impl {
    // queued: handed to the workers (waiting or being served); only they touch its head and body then.
    enum class Phase { head, body, queued, writing, lingering, closed };

    struct Connection {
        int fd = -1;
        std::string remote;
        Phase phase = Phase::head;
        Clock::time_point opened;
        Clock::time_point deadline;
        std::string in;           // bytes read and not yet taken: a head arriving, or what followed a body
        HeadGatherer gathering{0, 0}; // set from the bounds when the connection opens
        bool head_read = false;
        HttpHead head;
        bool chunked = false;
        std::size_t body_left = 0; // declared length still to come
        std::optional<ChunkedBody> chunks;
        std::string body;
        std::string out;
        std::size_t out_at = 0;
        bool close_after = false;
        int answered = 0;  // requests answered on this connection
        HttpAnswer answer; // the one being written, for the log
    };

    ListenerBounds bounds;
    HttpHandler& handler;

    int listen_fd = -1;
    int wake_fd = -1;
    int bound_port = 0;
    std::thread loop_thread;
    std::vector<std::thread> workers;
    std::vector<std::unique_ptr<Connection>> connections; // connection thread only

    // Shared between the threads.
    mutable std::mutex mutex;
    std::condition_variable work_ready;
    std::condition_variable listen_closed_changed;
    std::deque<Connection*> jobs;
    std::vector<std::pair<Connection*, HttpAnswer>> done;
    int busy = 0;
    bool quit_workers = false;
    bool stop_requested = false;
    bool listen_closed = false;
    bool loop_ended = false;
    std::function<void()> when_finished;

    bool stopping = false; // connection thread's copy of stop_requested

    Impl(ListenerBounds b, HttpHandler& h) : bounds(b), handler(h) {}

    void wake() const {
        const std::uint64_t one = 1;
        [[maybe_unused]] const auto n = ::write(wake_fd, &one, sizeof one);
    }

    void run();
    void work();
    void accept_all();
    void on_readable(Connection& c);
    void on_head_bytes(Connection& c);
    void start_body(Connection& c);
    void feed_body(Connection& c, std::string_view data);
    void queue(Connection& c);
    void give(Connection& c, HttpAnswer answer);
    void give_trouble(Connection& c, HttpHandler::Trouble what);
    void write_some(Connection& c);
    void close_connection(Connection& c);
    void begin_stop();
    bool all_done();
};

void HttpListener::Impl::close_connection(Connection& c) {
    if (c.fd >= 0)
        ::close(c.fd);
    c.fd = -1;
    c.phase = Phase::closed;
}

void HttpListener::Impl::give(Connection& c, HttpAnswer answer) {
    // A body not read in full would be taken for the next request: such a connection is closed after the answer.
    const bool unread_body =
        c.phase == Phase::body || (c.phase == Phase::head && c.head_read &&
                                   (c.head.has_header("Transfer-Encoding") ||
                                    (c.head.has_header("Content-Length") && c.head.header("Content-Length") != "0")));
    c.close_after = answer.close || stopping || unread_body || !c.head_read || !c.head.keeps_alive();
    c.out = answer_bytes(answer, c.close_after);
    c.out_at = 0;
    c.answer = std::move(answer);
    c.answer.body.clear();
    // A body refused half-way (too large, or cut by a stop) gives its memory back at once.
    const bool large_body = c.body.capacity() >= kTrimAfter;
    c.body = std::string();
    if (large_body)
        malloc_trim(0);
    c.phase = Phase::writing;
    c.deadline = Clock::now() + bounds.write_deadline;
    write_some(c);
}

void HttpListener::Impl::give_trouble(Connection& c, HttpHandler::Trouble what) {
    HttpAnswer answer = handler.trouble(what, c.head_read ? &c.head : nullptr);
    answer.close = true;
    give(c, std::move(answer));
}

void HttpListener::Impl::write_some(Connection& c) {
    while (c.out_at < c.out.size()) {
        const ssize_t n = ::send(c.fd, c.out.data() + c.out_at, c.out.size() - c.out_at, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return;
        if (n <= 0) {
            close_connection(c);
            return;
        }
        c.out_at += static_cast<std::size_t>(n);
    }
    handler.answered(c.head_read ? &c.head : nullptr, c.remote, c.answer);
    ++c.answered;
    c.out.clear();
    c.out.shrink_to_fit();
    if (c.close_after || stopping) {
        // Half-close, then drain what the client still sends, so that it reads the answer rather than a reset.
        ::shutdown(c.fd, SHUT_WR);
        c.phase = Phase::lingering;
        c.deadline = Clock::now() + bounds.linger;
        return;
    }
    c.phase = Phase::head;
    c.head = HttpHead();
    c.head_read = false;
    c.gathering.reset();
    c.deadline = Clock::now() + bounds.head_deadline;
    if (!c.in.empty())
        on_head_bytes(c);
}

void HttpListener::Impl::queue(Connection& c) {
    c.phase = Phase::queued;
    {
        std::lock_guard lock(mutex);
        jobs.push_back(&c);
    }
    work_ready.notify_one();
}

void HttpListener::Impl::feed_body(Connection& c, std::string_view data) {
    if (c.chunked) {
        std::size_t used = 0;
        switch (c.chunks->feed(data, c.body, &used)) {
        case ChunkedBody::State::more:
            return;
        case ChunkedBody::State::bad:
            give_trouble(c, HttpHandler::Trouble::bad_request);
            return;
        case ChunkedBody::State::too_large:
            give_trouble(c, HttpHandler::Trouble::body_too_large);
            return;
        case ChunkedBody::State::done:
            c.in.assign(data.substr(used));
            queue(c);
            return;
        }
    }
    const std::size_t n = std::min(c.body_left, data.size());
    c.body.append(data.data(), n);
    c.body_left -= n;
    if (c.body_left == 0) {
        c.in.assign(data.substr(n)); // the next request, sent ahead
        queue(c);
    }
}

void HttpListener::Impl::start_body(Connection& c) {
    const std::string encoding = c.head.header("Transfer-Encoding");
    c.chunked = false;
    c.body_left = 0;
    c.body.clear();
    if (c.head.has_header("Transfer-Encoding")) {
        if (!same_letters(encoding, "chunked"))
            return give_trouble(c, HttpHandler::Trouble::bad_request);
        c.chunked = true;
        c.chunks.emplace(bounds.body_limit);
        // Reserved, not touched: the pages count only once the body fills them, and it never moves. Where the
        // system will not promise that much, the body grows as it comes instead.
        try {
            c.body.reserve(bounds.body_limit);
        } catch (const std::bad_alloc&) {
        }
    } else if (c.head.has_header("Content-Length")) {
        if (!parse_length(c.head.header("Content-Length"), c.body_left))
            return give_trouble(c, HttpHandler::Trouble::bad_request);
        if (c.body_left > bounds.body_limit)
            return give_trouble(c, HttpHandler::Trouble::body_too_large);
        c.body.reserve(c.body_left);
    }
    if (!c.chunked && c.body_left == 0)
        return queue(c);
    if (same_letters(c.head.header("Expect"), "100-continue")) {
        static const char kContinue[] = "HTTP/1.1 100 Continue\r\n\r\n";
        [[maybe_unused]] const auto n = ::send(c.fd, kContinue, sizeof kContinue - 1, MSG_NOSIGNAL);
    }
    c.phase = Phase::body;
    c.deadline = Clock::now() + bounds.body_idle_limit;
    std::string ahead = std::move(c.in);
    c.in.clear();
    if (!ahead.empty())
        feed_body(c, ahead);
}

void HttpListener::Impl::on_head_bytes(Connection& c) {
    switch (c.gathering.gather(c.in)) {
    case HeadGatherer::State::more:
        return;
    case HeadGatherer::State::too_large:
        return give_trouble(c, HttpHandler::Trouble::head_too_large);
    case HeadGatherer::State::complete:
        break;
    }
    const std::size_t end = c.gathering.size();
    const bool parsed = parse_head(std::string_view(c.in).substr(0, end - 4), c.head);
    c.in.erase(0, end);
    c.gathering.reset();
    if (!parsed)
        return give_trouble(c, HttpHandler::Trouble::bad_request);
    c.head_read = true;
    if (stopping)
        return give_trouble(c, HttpHandler::Trouble::stopping);
    std::optional<HttpAnswer> at_once = handler.screen(c.head);
    if (at_once)
        return give(c, std::move(*at_once));
    start_body(c);
}

void HttpListener::Impl::on_readable(Connection& c) {
    char buffer[64 * 1024];
    // A few reads at most per round, so that one fast sender does not keep the others waiting.
    for (int round = 0; round < 16 && c.fd >= 0; ++round) {
        if (c.phase != Phase::head && c.phase != Phase::body && c.phase != Phase::lingering)
            return;
        const ssize_t n = ::recv(c.fd, buffer, sizeof buffer, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return;
        if (n <= 0) {
            close_connection(c);
            return;
        }
        const std::string_view data(buffer, static_cast<std::size_t>(n));
        if (c.phase == Phase::lingering)
            continue;
        if (c.phase == Phase::body) {
            c.deadline = Clock::now() + bounds.body_idle_limit;
            feed_body(c, data);
            continue;
        }
        c.in.append(data);
        on_head_bytes(c);
    }
}

void HttpListener::Impl::accept_all() {
    while (listen_fd >= 0) {
        sockaddr_storage address{};
        socklen_t size = sizeof address;
        const int fd = ::accept4(listen_fd, reinterpret_cast<sockaddr*>(&address), &size, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0)
            return; // EAGAIN, or a connection already gone, or out of descriptors until some are closed
        // Connections closed in this round stay in the list until the next one begins; they hold no room.
        const auto open = std::count_if(connections.begin(), connections.end(),
                                        [](const auto& c) { return c->phase != Phase::closed; });
        if (open >= bounds.max_connections) {
            // Full: the connection that has waited longest without a request in hand gives way, so that idle
            // connections cannot lock out a client that sends its request at once.
            Connection* oldest = nullptr;
            for (const auto& c : connections) {
                const bool idle = c->phase == Phase::lingering || c->phase == Phase::head;
                if (idle && c->fd >= 0 && (oldest == nullptr || c->opened < oldest->opened))
                    oldest = c.get();
            }
            if (oldest == nullptr) {
                ::close(fd);
                continue;
            }
            close_connection(*oldest);
        }
        int yes = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
        auto c = std::make_unique<Connection>();
        c->fd = fd;
        c->remote = remote_text(address);
        c->gathering = HeadGatherer(bounds.max_header_lines, bounds.max_head_bytes);
        c->opened = Clock::now();
        c->deadline = c->opened + bounds.head_deadline;
        connections.push_back(std::move(c));
    }
}

void HttpListener::Impl::begin_stop() {
    stopping = true;
    std::deque<Connection*> waiting;
    {
        std::lock_guard lock(mutex);
        waiting.swap(jobs);
    }
    for (Connection* c : waiting)
        give_trouble(*c, HttpHandler::Trouble::stopping);
    // A request whose head is still arriving has a moment to finish it and hear why it is not served; a kept-alive
    // connection between requests is simply closed.
    const auto grace = Clock::now() + std::min(bounds.head_deadline, kStopGrace);
    for (const auto& c : connections) {
        if (c->phase == Phase::body)
            give_trouble(*c, HttpHandler::Trouble::stopping);
        else if (c->phase == Phase::head && c->answered > 0 && c->in.empty())
            close_connection(*c);
        else if (c->phase == Phase::head)
            c->deadline = std::min(c->deadline, grace);
    }
}

bool HttpListener::Impl::all_done() {
    std::lock_guard lock(mutex);
    return connections.empty() && jobs.empty() && busy == 0 && done.empty();
}

void HttpListener::Impl::run() {
    std::vector<pollfd> fds;
    std::vector<Connection*> polled;
    while (true) {
        bool stop_now = false;
        std::vector<std::pair<Connection*, HttpAnswer>> answers;
        {
            std::lock_guard lock(mutex);
            stop_now = stop_requested && !stopping;
            answers.swap(done);
        }
        if (stop_now) {
            // Connections the system has already taken on our behalf are answered too, not reset.
            accept_all();
            if (listen_fd >= 0)
                ::close(listen_fd);
            listen_fd = -1;
            {
                std::lock_guard lock(mutex);
                listen_closed = true;
            }
            listen_closed_changed.notify_all();
            begin_stop();
        }
        for (auto& [c, answer] : answers)
            give(*c, std::move(answer));

        const auto now = Clock::now();
        for (const auto& c : connections) {
            const bool timed = c->phase == Phase::head || c->phase == Phase::body || c->phase == Phase::writing ||
                               c->phase == Phase::lingering;
            if (timed && c->fd >= 0 && now >= c->deadline)
                close_connection(*c); // a client too slow for its deadline gets no answer: nobody is reading
        }
        std::erase_if(connections, [](const auto& c) { return c->phase == Phase::closed; });
        if (stopping && all_done())
            break;

        fds.clear();
        polled.clear();
        fds.push_back({wake_fd, POLLIN, 0});
        if (listen_fd >= 0)
            fds.push_back({listen_fd, POLLIN, 0});
        auto next = now + std::chrono::seconds(1);
        for (const auto& c : connections) {
            short events = 0;
            if (c->phase == Phase::head || c->phase == Phase::body || c->phase == Phase::lingering)
                events = POLLIN;
            else if (c->phase == Phase::writing)
                events = POLLOUT;
            else
                continue;
            fds.push_back({c->fd, events, 0});
            polled.push_back(c.get());
            next = std::min(next, c->deadline);
        }
        const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(next - now).count() + 1;
        const int ready = ::poll(fds.data(), fds.size(), static_cast<int>(std::max<long long>(wait, 0)));
        if (ready <= 0)
            continue;
        if (fds[0].revents != 0) {
            std::uint64_t count = 0;
            [[maybe_unused]] const auto n = ::read(wake_fd, &count, sizeof count);
        }
        const std::size_t first = fds.size() - polled.size();
        for (std::size_t i = 0; i < polled.size(); ++i) {
            Connection& c = *polled[i];
            const short revents = fds[first + i].revents;
            if (revents == 0 || c.fd < 0)
                continue;
            try {
                if (c.phase == Phase::writing)
                    write_some(c);
                else if ((revents & (POLLIN | POLLHUP | POLLERR)) != 0)
                    on_readable(c);
            } catch (const std::exception&) {
                // Out of memory for this client's request: it alone is dropped, the server goes on.
                if (c.phase != Phase::queued)
                    close_connection(c);
            }
        }
        // After the connections polled above are served: taking in new ones may make room by dropping one of
        // them, and polled must not outlive it.
        if (listen_fd >= 0 && first == 2 && fds[1].revents != 0)
            accept_all();
    }
    {
        std::lock_guard lock(mutex);
        quit_workers = true;
    }
    work_ready.notify_all();
    for (std::thread& worker : workers)
        worker.join();
    std::function<void()> tell;
    {
        std::lock_guard lock(mutex);
        loop_ended = true;
        tell = std::move(when_finished);
    }
    if (tell)
        tell();
}

void HttpListener::Impl::work() {
    while (true) {
        Connection* c = nullptr;
        {
            std::unique_lock lock(mutex);
            work_ready.wait(lock, [&] { return quit_workers || !jobs.empty(); });
            if (jobs.empty())
                return;
            c = jobs.front();
            jobs.pop_front();
            ++busy;
        }
        HttpAnswer answer;
        std::size_t size = c->body.size();
        try {
            answer = handler.serve(c->head, std::move(c->body));
        } catch (...) {
            answer = handler.trouble(HttpHandler::Trouble::internal_error, &c->head);
        }
        c->body = std::string();
        if (size >= kTrimAfter)
            malloc_trim(0);
        {
            std::lock_guard lock(mutex);
            done.emplace_back(c, std::move(answer));
            --busy;
        }
        wake();
    }
}

HttpListener::HttpListener(ListenerBounds bounds, HttpHandler& handler)
    : impl_(std::make_unique<Impl>(bounds, handler)) {}

HttpListener::~HttpListener() {
    stop();
}

std::string HttpListener::listen(const std::string& host, int port) {
    if (impl_->loop_thread.joinable() || impl_->listen_fd >= 0)
        return "the server has been started before";
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const std::string where = "cannot listen on " + host + ":" + std::to_string(port);
    if (const int failure = ::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found); failure != 0)
        return where + ": " + ::gai_strerror(failure);
    int error = 0;
    for (addrinfo* at = found; at != nullptr && impl_->listen_fd < 0; at = at->ai_next) {
        const int fd = ::socket(at->ai_family, at->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, at->ai_protocol);
        if (fd < 0) {
            error = errno;
            continue;
        }
        // Address reuse only: another program already listening on the port must make the bind fail rather than
        // share the port with it.
        int yes = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        if (::bind(fd, at->ai_addr, at->ai_addrlen) != 0 || ::listen(fd, 128) != 0) {
            error = errno;
            ::close(fd);
            continue;
        }
        impl_->listen_fd = fd;
    }
    ::freeaddrinfo(found);
    if (impl_->listen_fd < 0)
        return where + (error != 0 ? std::string(": ") + std::strerror(error) : std::string());
    sockaddr_storage address{};
    socklen_t size = sizeof address;
    ::getsockname(impl_->listen_fd, reinterpret_cast<sockaddr*>(&address), &size);
    impl_->bound_port = ntohs(address.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6&>(address).sin6_port
                                                            : reinterpret_cast<sockaddr_in&>(address).sin_port);
    impl_->wake_fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    try {
        if (impl_->wake_fd < 0)
            throw std::system_error(errno, std::generic_category());
        for (int i = 0; i < std::max(1, impl_->bounds.workers); ++i)
            impl_->workers.emplace_back([impl = impl_.get()] { impl->work(); });
        impl_->loop_thread = std::thread([impl = impl_.get()] { impl->run(); });
    } catch (const std::system_error& failure) {
        {
            std::lock_guard lock(impl_->mutex);
            impl_->quit_workers = true;
        }
        impl_->work_ready.notify_all();
        for (std::thread& worker : impl_->workers)
            worker.join();
        impl_->workers.clear();
        ::close(impl_->listen_fd);
        impl_->listen_fd = -1;
        impl_->bound_port = 0;
        return std::string("cannot start the server's thread: ") + failure.what();
    }
    return {};
}

int HttpListener::port() const {
    return impl_->bound_port;
}

void HttpListener::stop_accepting(std::function<void()> when_finished) {
    {
        std::unique_lock lock(impl_->mutex);
        if (impl_->loop_thread.joinable() && !impl_->loop_ended) {
            if (when_finished)
                impl_->when_finished = std::exchange(when_finished, nullptr);
            impl_->stop_requested = true;
            impl_->wake();
            // The port must be free when this returns.
            impl_->listen_closed_changed.wait(lock, [&] { return impl_->listen_closed || impl_->loop_ended; });
        }
    }
    if (when_finished)
        when_finished(); // never started, or done already
}

void HttpListener::stop() {
    stop_accepting();
    if (impl_->loop_thread.joinable()) {
        // Destroyed from its own when_finished: the thread is about to end on its own.
        if (impl_->loop_thread.get_id() == std::this_thread::get_id())
            impl_->loop_thread.detach();
        else
            impl_->loop_thread.join();
    }
    if (impl_->wake_fd >= 0 && !impl_->loop_thread.joinable()) {
        ::close(impl_->wake_fd);
        impl_->wake_fd = -1;
    }
}

} // namespace velpic
