// The link check against curl on the same addresses of a local HTTPS server with a self-signed certificate: curl
// fetches them one after another in one process (curl -K), reusing its connection; the check runs as the program
// runs it, at --rate request starts a second (0, the default here: no limit). Prints each time and the ratio
// check / curl (target: at most 1.5), then the same through a proxy that adds a delay to every round trip, against
// curl -Z --parallel-max 4 (target: at most 1.2). Last, a check at the default rate of 8 a second, with the most
// request starts seen in any one second (target: at most 8).
//
//   link_check_ratio [--count N] [--latency-count N] [--size BYTES] [--delay-ms MS] [--jobs N] [--rounds N]
//                    [--latency-rounds N] [--rate N] [--paced-count N]
#include "records/link_check.h"
#include "runtime/md5.h"
#include "support/temp_dir.h"
#include "support/test_service.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <iostream>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// A TCP relay on 127.0.0.1 that holds every chunk for `delay` in each direction before passing it on.
class DelayingProxy {
public:
    DelayingProxy(int target_port, std::chrono::milliseconds one_way) : target_port_(target_port), delay_(one_way) {
        listen_fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::bind(listen_fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(listen_fd_, 64) != 0)
            return;
        socklen_t length = sizeof address;
        ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
        accept_thread_ = std::thread([this] { accept_loop(); });
    }

    ~DelayingProxy() {
        stopping_ = true;
        ::shutdown(listen_fd_, SHUT_RDWR);
        if (accept_thread_.joinable())
            accept_thread_.join();
        ::close(listen_fd_);
        {
            std::lock_guard lock(mutex_);
            for (int fd : fds_)
                ::shutdown(fd, SHUT_RDWR);
        }
        for (std::thread& thread : threads_)
            thread.join();
        for (int fd : fds_)
            ::close(fd);
    }

    int port() const { return port_; }

private:
    struct Pipe {
        std::mutex mutex;
        std::condition_variable changed;
        std::deque<std::pair<Clock::time_point, std::string>> chunks; // an empty chunk: the sender is done
    };

    void accept_loop() {
        for (;;) {
            const int client = ::accept(listen_fd_, nullptr, nullptr);
            if (client < 0)
                return;
            const int server = ::socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in address{};
            address.sin_family = AF_INET;
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            address.sin_port = htons(static_cast<uint16_t>(target_port_));
            if (::connect(server, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
                ::close(client);
                ::close(server);
                continue;
            }
            int yes = 1;
            ::setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
            ::setsockopt(server, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
            std::lock_guard lock(mutex_);
            fds_.push_back(client);
            fds_.push_back(server);
            relay(client, server);
            relay(server, client);
        }
    }

    // Two threads per direction: one reads and stamps, one waits out the delay and writes.
    void relay(int from, int to) {
        auto pipe = std::make_shared<Pipe>();
        threads_.emplace_back([this, from, pipe] {
            char buffer[65536];
            for (;;) {
                const ssize_t n = ::recv(from, buffer, sizeof buffer, 0);
                std::lock_guard lock(pipe->mutex);
                pipe->chunks.emplace_back(Clock::now() + delay_,
                                          n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string());
                pipe->changed.notify_one();
                if (n <= 0)
                    return;
            }
        });
        threads_.emplace_back([from, to, pipe] {
            for (;;) {
                std::unique_lock lock(pipe->mutex);
                pipe->changed.wait(lock, [&] { return !pipe->chunks.empty(); });
                auto [due, bytes] = std::move(pipe->chunks.front());
                pipe->chunks.pop_front();
                lock.unlock();
                std::this_thread::sleep_until(due);
                if (bytes.empty()) {
                    ::shutdown(to, SHUT_WR);
                    return;
                }
                for (std::size_t sent = 0; sent < bytes.size();) {
                    const ssize_t n = ::send(to, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
                    if (n <= 0) {
                        ::shutdown(from, SHUT_RDWR);
                        return;
                    }
                    sent += static_cast<std::size_t>(n);
                }
            }
        });
    }

    int target_port_;
    std::chrono::milliseconds delay_;
    int listen_fd_ = -1;
    int port_ = 0;
    std::atomic<bool> stopping_{false};
    std::thread accept_thread_;
    std::mutex mutex_;
    std::vector<int> fds_;
    std::vector<std::thread> threads_;
};

// The server and the proxy in a process of their own, as a real server would be: sharing the benchmark's allocator
// and scheduler with the check would charge their work to it. The child serves until the parent goes away.
struct ServerProcess {
    ServerProcess(const std::string& picture, int files, std::chrono::milliseconds one_way_delay) {
        int up[2], down[2];
        if (::pipe(up) != 0 || ::pipe(down) != 0)
            return;
        child = ::fork();
        if (child == 0) {
            ::close(up[0]);
            ::close(down[1]);
            {
                velpic::test::TestService service(velpic::test::TestService::Transport::tls);
                for (int i = 0; i < files; ++i)
                    service.put_file("alice", "pics", "p" + std::to_string(i) + ".png", picture);
                DelayingProxy proxy(service.port(), one_way_delay);
                const std::string hello = std::to_string(service.port()) + " " + std::to_string(proxy.port()) + "\n" +
                                          service.certificate_pem();
                if (::write(up[1], hello.data(), hello.size()) == static_cast<ssize_t>(hello.size())) {
                    ::close(up[1]);
                    char byte;
                    while (::read(down[0], &byte, 1) > 0) {
                    }
                }
            }
            std::_Exit(0);
        }
        ::close(up[1]);
        ::close(down[0]);
        parent_end = down[1];
        std::string hello;
        char buffer[4096];
        for (ssize_t n; (n = ::read(up[0], buffer, sizeof buffer)) > 0;)
            hello.append(buffer, static_cast<std::size_t>(n));
        ::close(up[0]);
        const std::size_t line_end = hello.find('\n');
        if (line_end == std::string::npos)
            return;
        std::istringstream(hello.substr(0, line_end)) >> port >> proxy_port;
        certificate_pem = hello.substr(line_end + 1);
    }
    ~ServerProcess() {
        if (parent_end >= 0)
            ::close(parent_end);
        if (child > 0)
            ::waitpid(child, nullptr, 0);
    }
    bool ok() const { return port > 0 && proxy_port > 0 && !certificate_pem.empty(); }

    pid_t child = -1;
    int parent_end = -1;
    int port = 0, proxy_port = 0;
    std::string certificate_pem;
};

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// The check as the records page runs it; false unless every link came out valid.
bool run_check(const std::vector<velpic::LinkTarget>& targets, int jobs, bool deep, int rate, double& seconds,
               std::vector<Clock::time_point>* starts = nullptr) {
    std::size_t valid = 0;
    velpic::LinkCheckEvents events;
    events.finished = [&](std::size_t, velpic::LinkStatus status) { valid += status == velpic::LinkStatus::valid; };
    if (starts != nullptr)
        events.started = [starts](std::size_t) { starts->push_back(Clock::now()); };
    velpic::LinkCheckOptions options;
    options.jobs = jobs;
    options.deep = deep;
    options.per_host_rate = rate;
    const Clock::time_point start = Clock::now();
    velpic::check_links(targets, options, events);
    seconds = seconds_since(start);
    return valid == targets.size();
}

// One curl process given every address, bodies discarded; false when curl failed.
bool run_curl(const std::vector<velpic::LinkTarget>& targets, const std::filesystem::path& dir,
              const std::filesystem::path& ca_file, bool parallel, double& seconds) {
    const std::filesystem::path config = dir / "urls.curlrc";
    {
        std::ofstream out(config);
        for (const velpic::LinkTarget& target : targets)
            out << "url = \"" << target.address << "\"\noutput = \"/dev/null\"\n";
    }
    const std::string command =
        std::string("curl --silent --show-error --fail ") +
        (parallel ? "--parallel --parallel-max 4 --no-progress-meter " : "") +
        "--cacert '" + ca_file.string() + "' --config '" + config.string() + "'";
    const Clock::time_point start = Clock::now();
    const int status = std::system(command.c_str());
    seconds = seconds_since(start);
    return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::vector<velpic::LinkTarget> targets_at(int port, int count, const std::string& digest) {
    std::vector<velpic::LinkTarget> targets;
    for (int i = 0; i < count; ++i)
        targets.push_back(
            {"https://127.0.0.1:" + std::to_string(port) + "/alice/pics/raw/master/p" + std::to_string(i) + ".png",
             ".png", digest});
    return targets;
}

struct Figures {
    double check = 0, deep = 0, curl = 0;
};

// Best of `rounds` runs of each, taken in turn, so that a busy machine disturbs both alike.
bool measure(const char* title, const std::vector<velpic::LinkTarget>& targets, int jobs, int rate, bool parallel,
             int rounds, const std::filesystem::path& dir, const std::filesystem::path& ca_file, Figures& figures) {
    figures = {1e9, 1e9, 1e9};
    for (int round = 0; round < rounds; ++round) {
        double check = 0, deep = 0, curl = 0;
        if (!run_check(targets, jobs, false, rate, check) || !run_check(targets, jobs, true, rate, deep)) {
            std::cerr << title << ": the check did not find every link valid\n";
            return false;
        }
        if (!run_curl(targets, dir, ca_file, parallel, curl)) {
            std::cerr << title << ": curl failed\n";
            return false;
        }
        figures.check = std::min(figures.check, check);
        figures.deep = std::min(figures.deep, deep);
        figures.curl = std::min(figures.curl, curl);
    }
    std::printf("%s, %zu addresses, best of %d\n", title, targets.size(), rounds);
    std::printf("  %-43s %8.3f s\n",
                parallel ? "curl -Z --parallel-max 4:" : "curl -K, one after another, connection reused:", figures.curl);
    std::printf("  link check, %2d at once, rate %-4d:           %8.3f s   ratio %.2f\n", jobs, rate, figures.check,
                figures.check / figures.curl);
    std::printf("  deep link check (whole body + MD5):          %8.3f s   ratio %.2f\n", figures.deep,
                figures.deep / figures.curl);
    return true;
}

} // namespace

int main(int argc, char** argv) {
    int count = 1000, latency_count = 300, size = 20000, delay_ms = 20, jobs = velpic::kDefaultLinkCheckJobs;
    int rounds = 5, latency_rounds = 3, rate = 0, paced_count = 40;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string name = argv[i];
        const int value = std::atoi(argv[i + 1]);
        if (name == "--count")
            count = value;
        else if (name == "--latency-count")
            latency_count = value;
        else if (name == "--size")
            size = value;
        else if (name == "--delay-ms")
            delay_ms = value;
        else if (name == "--jobs")
            jobs = value;
        else if (name == "--rounds")
            rounds = value;
        else if (name == "--latency-rounds")
            latency_rounds = value;
        else if (name == "--rate")
            rate = value;
        else if (name == "--paced-count")
            paced_count = value;
    }
    if (std::system("curl --version > /dev/null") != 0) {
        std::cerr << "curl is needed (scripts/install_deps.sh test)\n";
        return 1;
    }

    std::string bytes = std::string("\x89PNG\r\n\x1A\n", 8) + std::string(static_cast<std::size_t>(size), 'x');
    const std::string digest = velpic::md5_hex(bytes);
    const ServerProcess server(bytes, std::max(count, latency_count), std::chrono::milliseconds(delay_ms / 2));
    if (!server.ok()) {
        std::cerr << "cannot start the HTTPS server\n";
        return 1;
    }
    velpic::test::TempDir dir;
    const std::filesystem::path ca_file = dir.file("ca.pem");
    std::ofstream(ca_file) << server.certificate_pem;
    setenv("VELPIC_CA_FILE", ca_file.c_str(), 1);

    Figures direct;
    if (!measure("local HTTPS", targets_at(server.port, count, digest), jobs, rate, false, rounds, dir.path(), ca_file,
                 direct))
        return 1;
    Figures delayed;
    const std::string title = "local HTTPS, " + std::to_string(delay_ms) + " ms added per round trip";
    if (!measure(title.c_str(), targets_at(server.proxy_port, latency_count, digest), jobs, rate, true, latency_rounds,
                 dir.path(), ca_file, delayed))
        return 1;

    // At the default rate, the starts as the check reports them (its "started" event: the moment each request
    // goes out), every window of one second that begins at a start.
    std::vector<Clock::time_point> starts;
    double paced = 0;
    if (!run_check(targets_at(server.port, paced_count, digest), jobs, false, velpic::kDefaultLinkCheckHostRate, paced,
                   &starts))
        return 1;
    std::size_t most = 0;
    double closest = 1e9;
    for (std::size_t i = 0; i < starts.size(); ++i) {
        std::size_t in_window = 0;
        for (std::size_t j = i; j < starts.size() && starts[j] - starts[i] < std::chrono::seconds(1); ++j)
            ++in_window;
        most = std::max(most, in_window);
        if (i > 0)
            closest = std::min(closest, std::chrono::duration<double>(starts[i] - starts[i - 1]).count());
    }
    std::printf("pictures of %d bytes; the link check reads the first %zu of each\n", size + 8,
                velpic::kLinkCheckHeadBytes);
    std::printf("default rate (%d a second), %d addresses: %.3f s, most starts in any one second %zu (target <= %d), "
                "closest two %.1f ms apart\n",
                velpic::kDefaultLinkCheckHostRate, paced_count, paced, most, velpic::kDefaultLinkCheckHostRate,
                closest * 1e3);
    std::printf("ratio %.2f against curl -K (target <= 1.5), with latency %.2f against curl -Z (target <= 1.2)\n",
                direct.check / direct.curl, delayed.check / delayed.curl);
    const bool met = direct.check <= 1.5 * direct.curl && delayed.check <= 1.2 * delayed.curl &&
                     most <= static_cast<std::size_t>(velpic::kDefaultLinkCheckHostRate);
    return met ? 0 : 1;
}
