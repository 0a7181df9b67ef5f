#include "http/batch_get.h"

#include "http/curl_exchange.h"
#include "http/tls_trust.h"
#include "runtime/md5_stream.h"

#include <curl/curl.h>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string_view>

namespace velpic {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kWholeBodyCap = 256u << 20;

bool init_curl() {
    static std::once_flag once;
    static bool ready = false;
    std::call_once(once, [] { ready = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK; });
    return ready;
}

bool is_redirect(int status) {
    return status >= 300 && status < 400;
}

bool starts_with_https(const std::string& url) {
    static constexpr std::string_view scheme = "https://";
    return url.size() >= scheme.size() && std::equal(scheme.begin(), scheme.end(), url.begin(), [](char a, char b) {
               return a == (b >= 'A' && b <= 'Z' ? static_cast<char>(b - 'A' + 'a') : b);
           });
}

struct EasyDeleter {
    void operator()(CURL* easy) const { curl_easy_cleanup(easy); }
};
struct ListDeleter {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};

} // namespace

void BatchGetStop::request() {
    requested_.store(true);
    std::lock_guard lock(mutex_);
    if (wake_fd_ >= 0) {
        const char byte = 1;
        [[maybe_unused]] const ssize_t written = ::write(wake_fd_, &byte, 1); // a full pipe is awake already
    }
}

void BatchGetStop::attach(int wake_fd) {
    std::lock_guard lock(mutex_);
    wake_fd_ = wake_fd;
}

void BatchGetStop::detach() {
    std::lock_guard lock(mutex_);
    wake_fd_ = -1;
}

// One run of batch_get: the multi handle, its share handle and a slot per transfer in flight. libcurl is driven
// socket by socket (curl_multi_socket_action) from one poll(): curl_multi_perform would visit every transfer on each
// wake-up, which costs a read attempt per idle transfer and doubles the work per answer with four in flight.
class BatchGetRun {
public:
    BatchGetRun(std::size_t count, const BatchGetUrlSource& url_at, const BatchGetOptions& options,
                const BatchGetEvents& events, BatchGetStop* stop)
        : count_(count), url_at_(url_at), options_(options), events_(events), stop_(stop) {}

    ~BatchGetRun() {
        if (stop_ != nullptr)
            stop_->detach();
        for (int fd : wake_pipe_)
            if (fd >= 0)
                ::close(fd);
        for (auto& slot : slots_) {
            if (slot->busy)
                curl_multi_remove_handle(multi_, slot->easy.get());
            slot->easy.reset();
        }
        if (multi_ != nullptr)
            curl_multi_cleanup(multi_);
        if (share_ != nullptr)
            curl_share_cleanup(share_);
    }

    void run();

private:
    struct Slot {
        BatchGetRun* run = nullptr;
        std::unique_ptr<CURL, EasyDeleter> easy;
        bool busy = false;
        std::size_t index = 0;
        std::string url; // urls_[index], asked for once per transfer
        bool announced = false;
        std::size_t body_size = 0;
        bool enough = false;    // the head limit was reached and the transfer ended on purpose
        bool too_large = false; // the whole body passed the cap
        std::string retry_after; // the final answer's Retry-After value
        BatchGetResult result;
        Md5Stream md5;
    };

    bool setup();
    bool start(Slot& slot, std::size_t index, std::string url);
    void finish(Slot& slot, CURLcode code);
    bool start_next(Slot& slot);
    bool turn_for(const std::string& url);
    void release_turn(const std::string& url);
    void fill_idle_slots();
    bool retry_later(Slot& slot);
    bool pending() const { return next_ < count_ || !waiting_.empty(); }
    void collect_finished();
    void wait_and_act();
    bool stopping() const { return stop_ != nullptr && stop_->requested(); }

    static int on_socket(CURL*, curl_socket_t socket, int what, void* user, void*);
    static int on_timer(CURLM*, long timeout_ms, void* user);
    static size_t on_header(char* data, size_t size, size_t count, void* user);
    static size_t on_body(char* data, size_t size, size_t count, void* user);
    static int on_request(void* user, char*, char*, int, int);

    std::size_t count_;
    const BatchGetUrlSource& url_at_;
    const BatchGetOptions& options_;
    const BatchGetEvents& events_;
    BatchGetStop* stop_;
    int jobs_ = 4;
    CURLM* multi_ = nullptr;
    CURLSH* share_ = nullptr;
    std::unique_ptr<curl_slist, ListDeleter> headers_;
    std::vector<std::unique_ptr<Slot>> slots_;
    std::map<curl_socket_t, short> sockets_;    // what libcurl waits for on each socket, as poll events
    std::optional<Clock::time_point> deadline_; // when libcurl wants to be called for its timers
    int wake_pipe_[2] = {-1, -1};
    std::size_t next_ = 0; // the next url to start
    HostPacer* pacer_ = nullptr; // when requests are paced or retried
    struct Waiting {
        std::size_t index;
        std::string url;
    };
    // Urls taken but held back by their host's pace or pause, ahead of next_ (those fetched again among them), so
    // that urls of other hosts go on meanwhile. Few: a url is bound to its place in the caller's order when it is
    // taken (the records page moves rows in view to the front), and a list of one host would otherwise be taken
    // far ahead of its turns.
    std::deque<Waiting> waiting_;
    static constexpr std::size_t kMostWaiting = 16;
    std::map<std::size_t, int> retries_;          // how often each url went again
    std::optional<Clock::time_point> held_until_; // the pacer's next turn, when a url waits for one
    bool held_by_host_ = false;                   // the url waiting does so because its host asked
    bool reported_host_wait_ = false;
};

int BatchGetRun::on_socket(CURL*, curl_socket_t socket, int what, void* user, void*) {
    auto* run = static_cast<BatchGetRun*>(user);
    if (what == CURL_POLL_REMOVE)
        run->sockets_.erase(socket);
    else
        run->sockets_[socket] =
            static_cast<short>(((what & CURL_POLL_IN) != 0 ? POLLIN : 0) | ((what & CURL_POLL_OUT) != 0 ? POLLOUT : 0));
    return 0;
}

int BatchGetRun::on_timer(CURLM*, long timeout_ms, void* user) {
    auto* run = static_cast<BatchGetRun*>(user);
    if (timeout_ms < 0)
        run->deadline_.reset();
    else
        run->deadline_ = Clock::now() + std::chrono::milliseconds(timeout_ms);
    return 0;
}

size_t BatchGetRun::on_header(char* data, size_t size, size_t count, void* user) {
    auto* slot = static_cast<Slot*>(user);
    const std::string_view line(data, size * count);
    if (line.starts_with("HTTP/")) {
        // A new answer, after an interim one or a followed redirect: only the last one counts.
        slot->result.head_complete = false;
        slot->result.head.clear();
        slot->body_size = 0;
        slot->md5.reset();
        slot->retry_after.clear();
        const std::size_t space = line.find(' ');
        slot->result.status =
            space == std::string_view::npos ? 0 : std::atoi(std::string(line.substr(space + 1, 3)).c_str());
    } else if (line == "\r\n" || line == "\n") {
        slot->result.head_complete = true;
    } else if (constexpr std::string_view name = "retry-after:";
               line.size() > name.size() && std::equal(name.begin(), name.end(), line.begin(), [](char a, char b) {
                   return a == (b >= 'A' && b <= 'Z' ? static_cast<char>(b - 'A' + 'a') : b);
               })) {
        slot->retry_after = std::string(line.substr(name.size(), 64));
    }
    return size * count;
}

size_t BatchGetRun::on_body(char* data, size_t size, size_t count, void* user) {
    auto* slot = static_cast<Slot*>(user);
    const BatchGetOptions& options = slot->run->options_;
    const std::string_view bytes(data, size * count);
    std::string& head = slot->result.head;
    if (head.size() < options.head_limit)
        head.append(bytes.substr(0, options.head_limit - head.size()));
    slot->body_size += bytes.size();
    if (is_redirect(slot->result.status))
        return bytes.size(); // the body of a hop; libcurl decides whether it follows
    if (options.whole_body) {
        if (slot->body_size > kWholeBodyCap) {
            slot->too_large = true;
            return 0;
        }
        slot->md5.add(bytes);
    } else if (slot->body_size > options.head_limit) {
        // Ending the transfer costs its connection, so the check asks for a range first; this is for a server
        // that sends the whole body anyway.
        slot->enough = true;
        return 0;
    }
    return bytes.size();
}

int BatchGetRun::on_request(void* user, char*, char*, int, int) {
    auto* slot = static_cast<Slot*>(user);
    BatchGetRun* run = slot->run;
    if (run->stopping())
        return CURL_PREREQFUNC_ABORT;
    if (!slot->announced) {
        slot->announced = true;
        if (run->events_.started)
            run->events_.started(slot->index);
        // After the event: whoever times the starts by it never sees two closer than the pace.
        if (run->pacer_ != nullptr && run->options_.per_host_rate > 0)
            run->pacer_->sent(host_of(slot->url), run->options_.per_host_rate);
    }
    return CURL_PREREQFUNC_OK;
}

bool BatchGetRun::setup() {
    if (!init_curl())
        return false;
    jobs_ = std::clamp(options_.jobs, 1, 16);
    if (options_.per_host_rate > 0 || options_.retry_limit > 0)
        pacer_ = options_.pacer != nullptr ? options_.pacer : &HostPacer::shared();
    multi_ = curl_multi_init();
    share_ = curl_share_init();
    if (multi_ == nullptr || share_ == nullptr)
        return false;
    // One thread uses the share, so it needs no locks.
    curl_share_setopt(share_, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
    curl_share_setopt(share_, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
    curl_multi_setopt(multi_, CURLMOPT_MAX_HOST_CONNECTIONS, static_cast<long>(jobs_));
    curl_multi_setopt(multi_, CURLMOPT_MAXCONNECTS, static_cast<long>(jobs_ * 4));
    curl_multi_setopt(multi_, CURLMOPT_PIPELINING, static_cast<long>(CURLPIPE_MULTIPLEX));
    curl_multi_setopt(multi_, CURLMOPT_SOCKETFUNCTION, on_socket);
    curl_multi_setopt(multi_, CURLMOPT_SOCKETDATA, this);
    curl_multi_setopt(multi_, CURLMOPT_TIMERFUNCTION, on_timer);
    curl_multi_setopt(multi_, CURLMOPT_TIMERDATA, this);
    if (::pipe2(wake_pipe_, O_NONBLOCK | O_CLOEXEC) != 0)
        return false;

    curl_slist* list = nullptr;
    for (const std::string& line : options_.header_lines) {
        if (!is_sendable_header_line(line))
            continue;
        curl_slist* grown = curl_slist_append(list, line.c_str());
        if (grown == nullptr) {
            curl_slist_free_all(list);
            return false;
        }
        list = grown;
    }
    headers_.reset(list);

    for (int i = 0; i < jobs_; ++i) {
        auto slot = std::make_unique<Slot>();
        slot->run = this;
        slot->easy.reset(curl_easy_init());
        if (!slot->easy)
            return false;
        slots_.push_back(std::move(slot));
    }
    if (stop_ != nullptr)
        stop_->attach(wake_pipe_[1]);
    return true;
}

bool BatchGetRun::start(Slot& slot, std::size_t index, std::string url_text) {
    CURL* h = slot.easy.get();
    curl_easy_reset(h); // keeps the connections, which live in the multi handle anyway
    slot.index = index;
    slot.announced = false;
    slot.body_size = 0;
    slot.enough = false;
    slot.too_large = false;
    slot.retry_after.clear();
    slot.result = BatchGetResult{};
    slot.md5.reset();

    slot.url = std::move(url_text);
    const std::string& url = slot.url;
    curl_easy_setopt(h, CURLOPT_URL, url.c_str());
    curl_easy_setopt(h, CURLOPT_SHARE, share_);
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(h, CURLOPT_REDIR_PROTOCOLS_STR, starts_with_https(url) ? "https" : "http,https");
    curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(h, CURLOPT_MAXREDIRS, static_cast<long>(std::max(0, options_.max_redirects)));
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers_.get());
    // Over TLS the handshake tells at once whether the server multiplexes (HTTP/2), and then every transfer shares
    // one connection; over plain HTTP libcurl would wait for an answer first, one transfer at a time.
    curl_easy_setopt(h, CURLOPT_PIPEWAIT, starts_with_https(url) ? 1L : 0L);
    curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, on_header);
    curl_easy_setopt(h, CURLOPT_HEADERDATA, &slot);
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, on_body);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &slot);
    curl_easy_setopt(h, CURLOPT_PREREQFUNCTION, on_request);
    curl_easy_setopt(h, CURLOPT_PREREQDATA, &slot);
    // An empty proxy keeps http_proxy and its kind from the environment out, as the other requests do.
    curl_easy_setopt(h, CURLOPT_PROXY, "");
    // A stop must not wait for a name lookup that hangs: its thread is left to finish on its own.
    curl_easy_setopt(h, CURLOPT_QUICK_EXIT, 1L);

    const long timeout = options_.timeout_seconds >= 1 ? options_.timeout_seconds : 30;
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT, timeout);
    curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME, timeout);
    curl_easy_setopt(h, CURLOPT_TIMEOUT, options_.whole_body ? timeout * 10 : timeout);

    set_tls_verification(h, options_.verify_tls);

    if (curl_multi_add_handle(multi_, h) != CURLM_OK)
        return false;
    slot.busy = true;
    return true;
}

void BatchGetRun::finish(Slot& slot, CURLcode code) {
    curl_multi_remove_handle(multi_, slot.easy.get());
    slot.busy = false;
    if (!slot.announced)
        release_turn(slot.url); // no request went out: its connection failed
    if (code == CURLE_ABORTED_BY_CALLBACK && stopping())
        return;
    BatchGetResult& result = slot.result;
    long redirects = 0;
    curl_easy_getinfo(slot.easy.get(), CURLINFO_REDIRECT_COUNT, &redirects);
    result.redirects = static_cast<int>(redirects);
    result.body_complete = code == CURLE_OK || slot.enough;
    // A redirect that was to be followed but whose next hop never answered leaves no answer at all; one that
    // was refused (too many hops, a step down to plain http) is the answer.
    if (code != CURLE_OK && is_redirect(result.status) && code != CURLE_TOO_MANY_REDIRECTS &&
        code != CURLE_UNSUPPORTED_PROTOCOL)
        result.head_complete = false;
    if (options_.whole_body && result.body_complete && !slot.too_large)
        result.body_md5 = slot.md5.finish_hex();
    if (retry_later(slot))
        return;
    if (events_.finished)
        events_.finished(slot.index, result);
}

bool BatchGetRun::retry_later(Slot& slot) {
    const int status = slot.result.status;
    if (pacer_ == nullptr || options_.retry_limit <= 0 || !slot.result.head_complete ||
        (status != 429 && status != 503))
        return false;
    const long long seconds = retry_after_seconds(slot.retry_after, static_cast<long long>(std::time(nullptr)),
                                                  std::max(0, options_.max_retry_after_seconds));
    int& tries = retries_[slot.index];
    if (seconds < 0 || tries >= options_.retry_limit)
        return false;
    ++tries;
    pacer_->pause(host_of(slot.url), Clock::now() + std::chrono::seconds(seconds));
    waiting_.push_back({slot.index, slot.url});
    return true;
}

// Whether url may start now; counts the turn when it may, notes when the next turn comes when not.
bool BatchGetRun::turn_for(const std::string& url) {
    if (pacer_ == nullptr)
        return true;
    const HostPacer::Turn turn = pacer_->take(host_of(url), std::max(0, options_.per_host_rate));
    if (turn.granted)
        return true;
    held_until_ = held_until_ ? std::min(*held_until_, turn.retry_at) : turn.retry_at;
    held_by_host_ = held_by_host_ || turn.host_asked;
    return false;
}

// A turn taken for url whose request never went out: the host's next turn need not wait for it.
void BatchGetRun::release_turn(const std::string& url) {
    if (pacer_ != nullptr && options_.per_host_rate > 0)
        pacer_->sent(host_of(url), options_.per_host_rate);
}

// Starts the first url whose host's turn has come: a waiting one before the next of the list; false when the slot
// stays idle.
bool BatchGetRun::start_next(Slot& slot) {
    while (pending() && !stopping()) {
        std::optional<Waiting> chosen;
        for (auto it = waiting_.begin(); it != waiting_.end(); ++it) {
            if (turn_for(it->url)) {
                chosen = std::move(*it);
                waiting_.erase(it);
                break;
            }
        }
        while (!chosen && next_ < count_ && waiting_.size() < kMostWaiting) {
            Waiting taken{next_, url_at_(next_)};
            ++next_;
            if (turn_for(taken.url))
                chosen = std::move(taken);
            else
                waiting_.push_back(std::move(taken));
        }
        if (!chosen)
            return false;
        if (start(slot, chosen->index, std::move(chosen->url)))
            return true;
        release_turn(slot.url);
        if (events_.finished)
            events_.finished(chosen->index, BatchGetResult{}); // the transfer could not even be set up
    }
    return false;
}

void BatchGetRun::fill_idle_slots() {
    held_until_.reset();
    held_by_host_ = false;
    for (auto& slot : slots_)
        if (!slot->busy && !start_next(*slot))
            break;
    const bool waiting = held_until_.has_value() && held_by_host_;
    if (waiting != reported_host_wait_) {
        reported_host_wait_ = waiting;
        if (events_.host_wait)
            events_.host_wait(waiting);
    }
}

void BatchGetRun::collect_finished() {
    int queued = 0;
    while (CURLMsg* message = curl_multi_info_read(multi_, &queued)) {
        if (message->msg != CURLMSG_DONE)
            continue;
        for (auto& slot : slots_) {
            if (slot->busy && slot->easy.get() == message->easy_handle) {
                finish(*slot, message->data.result);
                break;
            }
        }
    }
}

void BatchGetRun::wait_and_act() {
    std::vector<pollfd> fds;
    fds.reserve(sockets_.size() + 1);
    fds.push_back({wake_pipe_[0], POLLIN, 0});
    for (const auto& [socket, events] : sockets_)
        fds.push_back({socket, events, 0});
    int wait_ms = 1000;
    for (const auto& until : {deadline_, held_until_}) {
        if (!until)
            continue;
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(*until - Clock::now()).count();
        wait_ms = std::min(wait_ms, static_cast<int>(std::clamp<long long>(left, 0, 1000)));
    }
    const int ready = ::poll(fds.data(), fds.size(), wait_ms);
    if (ready < 0)
        return; // EINTR: the loop comes round again
    if (fds[0].revents != 0) {
        char drain[64];
        while (::read(wake_pipe_[0], drain, sizeof drain) > 0) {
        }
    }
    int running = 0;
    for (std::size_t i = 1; i < fds.size() && !stopping(); ++i) {
        const short revents = fds[i].revents;
        // A socket that an earlier action in this pass closed is no longer libcurl's.
        if (revents == 0 || sockets_.count(fds[i].fd) == 0)
            continue;
        const int mask = ((revents & POLLIN) != 0 ? CURL_CSELECT_IN : 0) |
                         ((revents & POLLOUT) != 0 ? CURL_CSELECT_OUT : 0) |
                         ((revents & (POLLERR | POLLHUP | POLLNVAL)) != 0 ? CURL_CSELECT_ERR : 0);
        curl_multi_socket_action(multi_, fds[i].fd, mask, &running);
    }
    if (!stopping() && deadline_ && *deadline_ <= Clock::now()) {
        deadline_.reset();
        curl_multi_socket_action(multi_, CURL_SOCKET_TIMEOUT, 0, &running);
    }
}

void BatchGetRun::run() {
    if (!setup()) {
        // Nothing can be fetched: every address gets a transfer that never answered.
        for (std::size_t i = 0; i < count_ && !stopping(); ++i)
            if (events_.finished)
                events_.finished(i, BatchGetResult{});
        return;
    }
    while (!stopping()) {
        collect_finished();
        fill_idle_slots();
        if (!pending() && std::none_of(slots_.begin(), slots_.end(), [](const auto& slot) { return slot->busy; }))
            break;
        wait_and_act();
    }
    if (reported_host_wait_ && !stopping() && events_.host_wait)
        events_.host_wait(false);
}

void batch_get(std::size_t count, const BatchGetUrlSource& url_at, const BatchGetOptions& options,
               const BatchGetEvents& events, BatchGetStop* stop) {
    BatchGetRun run(count, url_at, options, events, stop);
    run.run();
}

void batch_get(const std::vector<std::string>& urls, const BatchGetOptions& options, const BatchGetEvents& events,
               BatchGetStop* stop) {
    const BatchGetUrlSource url_at = [&urls](std::size_t index) { return urls[index]; };
    batch_get(urls.size(), url_at, options, events, stop);
}

} // namespace velpic
