// Memory of the upload server under large bodies: a child process runs the server against the tests' stand-in of
// the hosting service (in this process), and its resident size is read from /proc before, at the peak of and
// after the requests. Prints (peak - idle) / bytes of the bodies in flight (target: at most 1.5) and how far the
// server stays above idle afterwards; then the same for a download that is cut at the size limit.
//
//   server_memory_ratio [--clients N] [--mb SIZE]
#include "server/upload_server.h"
#include "support/raw_http_server.h"
#include "support/temp_dir.h"
#include "support/test_service.h"

#include <httplib.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <future>
#include <iostream>
#include <string>
#include <vector>

namespace {

// VmRSS or VmHWM of a process, in kB.
long status_kb(pid_t pid, const std::string& field) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(field + ":", 0) == 0)
            return std::atol(line.c_str() + field.size() + 1);
    }
    return -1;
}

// Starts the peak anew at the current size.
void reset_peak(pid_t pid) {
    std::ofstream("/proc/" + std::to_string(pid) + "/clear_refs") << "5";
}

std::string read_line(int fd) {
    std::string line;
    char c = 0;
    while (::read(fd, &c, 1) == 1 && c != '\n')
        line += c;
    return line;
}

// The server's process: told the service's address, it starts, says its port, and serves until the pipe closes.
[[noreturn]] void run_server(int from_parent, int to_parent) {
    const std::string base = read_line(from_parent);
    setenv("VELPIC_SERVICE_BASE", base.c_str(), 1);
    velpic::test::TempDir dir;
    velpic::UploadContext context;
    context.owner = "alice";
    context.repo = "pics";
    context.access_token = "token";
    context.record_mode = "local";
    context.machine_code = "1";
    context.program_dir = dir.path();
    velpic::ServerOptions options;
    options.port = 0;
    velpic::UploadServer server(
        options, [&] { return context; }, nullptr);
    const std::string failure = server.start();
    const std::string said = failure.empty() ? std::to_string(server.port()) + "\n" : "0\n";
    [[maybe_unused]] auto n = ::write(to_parent, said.data(), said.size());
    char c = 0;
    while (::read(from_parent, &c, 1) == 1) {
    }
    server.stop();
    _exit(failure.empty() ? 0 : 1);
}

double mb(long kb) {
    return static_cast<double>(kb) / 1024.0;
}

} // namespace

int main(int argc, char** argv) {
    int clients = 4;
    std::size_t body_mb = 63;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string flag = argv[i];
        if (flag == "--clients")
            clients = std::atoi(argv[i + 1]);
        else if (flag == "--mb")
            body_mb = static_cast<std::size_t>(std::atol(argv[i + 1]));
    }
    // The child is forked before this process grows or starts threads.
    int down[2];
    int up[2];
    if (::pipe2(down, O_CLOEXEC) != 0 || ::pipe2(up, O_CLOEXEC) != 0)
        return 1;
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(down[1]);
        ::close(up[0]);
        run_server(down[0], up[1]);
    }
    ::close(down[0]);
    ::close(up[1]);

    velpic::test::TestService service;
    const std::string base = service.base() + "\n";
    [[maybe_unused]] auto n = ::write(down[1], base.data(), base.size());
    const int port = std::atoi(read_line(up[0]).c_str());
    if (port <= 0) {
        std::cerr << "the server did not start\n";
        return 1;
    }
    auto client = [port] {
        httplib::Client c("127.0.0.1", port);
        c.set_read_timeout(300);
        c.set_write_timeout(300);
        return c;
    };
    if (!client().Get("/heartbeat")) {
        std::cerr << "no heartbeat\n";
        return 1;
    }
    const long idle = status_kb(child, "VmRSS");

    // Large form bodies at once, each a different picture.
    std::vector<std::string> pictures;
    for (int i = 0; i < clients; ++i) {
        std::string picture(body_mb * 1024 * 1024, static_cast<char>('a' + i));
        picture.replace(0, 8, std::string("\x89PNG\r\n\x1a\n", 8));
        pictures.push_back(std::move(picture));
    }
    reset_peak(child);
    std::vector<std::future<int>> posts;
    for (int i = 0; i < clients; ++i) {
        posts.push_back(std::async(std::launch::async, [&, i] {
            httplib::Result result = client().Post(
                "/upload", httplib::MultipartFormDataItems{{"files", pictures[i], "big.png", "image/png"}});
            return result ? result->status : 0;
        }));
    }
    bool all_ok = true;
    for (auto& post : posts)
        all_ok = post.get() == 200 && all_ok;
    const long peak = status_kb(child, "VmHWM");
    const long after = status_kb(child, "VmRSS");
    const double in_flight = static_cast<double>(clients) * static_cast<double>(pictures[0].size()) / 1024.0;
    pictures.clear();
    std::printf("%d bodies of %zu MB at once%s\n", clients, body_mb, all_ok ? "" : " (some failed!)");
    std::printf("  idle %.1f MB, peak %.1f MB, after %.1f MB\n", mb(idle), mb(peak), mb(after));
    std::printf("  (peak - idle) / bytes in flight = %.2f (target <= 1.5); after - idle = %.1f MB\n",
                (static_cast<double>(peak) - static_cast<double>(idle)) / in_flight, mb(after - idle));

    // A 70 MB chunked download, cut at the 64 MB limit.
    velpic::test::RawHttpServer dripping;
    std::string answer = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nConnection: close\r\n\r\n";
    const std::string chunk(1024 * 1024, 'd');
    for (int i = 0; i < 70; ++i)
        answer += "100000\r\n" + (i == 0 ? std::string("\x89PNG\r\n\x1a\n", 8) + chunk.substr(8) : chunk) + "\r\n";
    answer += "0\r\n\r\n";
    dripping.answer(answer);
    answer.clear();
    answer.shrink_to_fit();
    const long before_download = status_kb(child, "VmRSS");
    reset_peak(child);
    httplib::Result cut =
        client().Post("/upload", "{\"list\":[\"" + dripping.url("/big.png") + "\"]}", "application/json");
    const long download_peak = status_kb(child, "VmHWM");
    const long download_after = status_kb(child, "VmRSS");
    std::printf("a 70 MB download cut at 64 MB%s\n",
                cut && cut->body.find("上限") != std::string::npos ? "" : " (not cut!)");
    std::printf("  before %.1f MB, peak %.1f MB, after %.1f MB (after - before = %.1f MB)\n", mb(before_download),
                mb(download_peak), mb(download_after), mb(download_after - before_download));
    std::printf("  (peak - before) / 64 MB taken = %.2f (target <= 1.5)\n",
                (static_cast<double>(download_peak) - static_cast<double>(before_download)) / (64.0 * 1024));

    ::close(down[1]);
    int status = 0;
    ::waitpid(child, &status, 0);
    return all_ok ? 0 : 1;
}
