// The upload server against web pages, foreign host names, slow and lying clients, and a stop under load: every
// attack ends within its bound and the server still answers a heartbeat afterwards.
#include "server/upload_server.h"

#include "runtime/md5.h"
#include "support/raw_http_server.h"
#include "support/temp_dir.h"
#include "support/service_context.h"
#include "support/test_service.h"

#include <gtest/gtest.h>
#include <httplib.h>
#include <nlohmann/json.hpp>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <future>
#include <thread>

namespace velpic {
namespace {

using nlohmann::json;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

const std::string kPng = std::string("\x89PNG\r\n\x1a\n", 8) + "hostile test picture";

// A plain TCP connection to the server, for what no well-behaved client library would send.
class RawConnection {
public:
    explicit RawConnection(int port) {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<std::uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            ::close(fd_);
            fd_ = -1;
        }
    }
    ~RawConnection() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    RawConnection(const RawConnection&) = delete;
    RawConnection& operator=(const RawConnection&) = delete;

    bool ok() const { return fd_ >= 0; }
    bool send(const std::string& bytes) {
        std::size_t sent = 0;
        while (sent < bytes.size()) {
            const ssize_t n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
            if (n <= 0)
                return false;
            sent += static_cast<std::size_t>(n);
        }
        return true;
    }
    // What arrives until the server closes the connection or the bound passes.
    std::string read_until_closed(std::chrono::milliseconds bound, bool* closed = nullptr) {
        std::string got;
        const auto until = Clock::now() + bound;
        if (closed != nullptr)
            *closed = false;
        while (Clock::now() < until) {
            pollfd p{fd_, POLLIN, 0};
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
            if (::poll(&p, 1, static_cast<int>(std::max<long long>(left.count(), 1))) <= 0)
                continue;
            char buffer[4096];
            const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
            if (n <= 0) {
                if (closed != nullptr)
                    *closed = true;
                break;
            }
            got.append(buffer, static_cast<std::size_t>(n));
        }
        return got;
    }

private:
    int fd_ = -1;
};

class UploadServerHostileTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(service.running());
        context = test::service_upload_context(service, dir.path(), "secret-token");
        context.machine_code = "77";
        options.port = 0;
        // Short bounds, so that every attack ends quickly.
        options.workers = 2;
        options.max_connections = 32;
        options.payload_limit = 1024 * 1024;
        options.head_deadline = 400ms;
        options.body_idle_limit = 400ms;
        options.download_deadline = 1500ms;
        options.download_idle_limit = 1000ms;
    }
    void TearDown() override {
        server.reset();
        unsetenv("VELPIC_SERVICE_BASE");
    }

    void start() {
        server = std::make_unique<UploadServer>(
            options, [this] { return context; }, nullptr);
        ASSERT_EQ(server->start(), "");
    }
    int port() const { return server->port(); }
    httplib::Client client(std::chrono::seconds read_timeout = 5s) const {
        httplib::Client c("127.0.0.1", port());
        c.set_connection_timeout(2);
        c.set_read_timeout(read_timeout.count());
        return c;
    }
    // A heartbeat answered within two seconds.
    bool alive() const {
        httplib::Client c = client(2s);
        httplib::Result result = c.Get("/heartbeat");
        return result && result->status == 200 && result->body.find("alive") != std::string::npos;
    }
    std::string picture_file(const std::string& name = "p.png") const {
        const std::filesystem::path path = dir.file(name);
        std::ofstream(path, std::ios::binary) << kPng;
        return path.string();
    }
    std::string list_body(const std::vector<std::string>& entries) const { return json{{"list", entries}}.dump(); }
    std::size_t commits() const { return service.count_requests("POST", "/api/v5/repos/"); }
    std::string address_of_png() const { return service.base() + "alice/pics/raw/master/" + md5_hex(kPng) + ".png"; }

    test::TestService service;
    test::TempDir dir;
    UploadContext context;
    ServerOptions options;
    std::unique_ptr<UploadServer> server;
};

std::string status_line(const std::string& answer) {
    return answer.substr(0, answer.find("\r\n"));
}

TEST_F(UploadServerHostileTest, EveryAttackEndsWithinItsBoundAndTheHeartbeatStillAnswers) {
    start();
    const std::string head_start = "POST /upload HTTP/1.1\r\nHost: 127.0.0.1\r\n";
    struct Attack {
        const char* name;
        std::function<void()> run;
    };
    const std::vector<Attack> attacks = {
        {"deep JSON",
         [&] {
             const std::string deep = "{\"list\":" + std::string(100000, '[') + std::string(100000, ']') + "}";
             httplib::Result result = client().Post("/upload", deep, "application/json");
             ASSERT_TRUE(result);
             const json answer = json::parse(result->body, nullptr, false);
             EXPECT_EQ(answer["success"], false);
             EXPECT_NE(answer["message"].get<std::string>().find("嵌套"), std::string::npos) << result->body;
         }},
        {"slow heads",
         [&] {
             std::vector<std::unique_ptr<RawConnection>> slow;
             for (int i = 0; i < 8; ++i) {
                 slow.push_back(std::make_unique<RawConnection>(port()));
                 ASSERT_TRUE(slow.back()->ok() && slow.back()->send(head_start));
             }
             EXPECT_TRUE(alive()); // while they hold their connections
             for (auto& connection : slow) {
                 bool closed = false;
                 EXPECT_EQ(connection->read_until_closed(3s, &closed), "");
                 EXPECT_TRUE(closed) << "a head that never ends is cut at its deadline";
             }
         }},
        {"idle connections beyond the cap",
         [&] {
             std::vector<std::unique_ptr<RawConnection>> idle;
             for (int i = 0; i < 100; ++i)
                 idle.push_back(std::make_unique<RawConnection>(port()));
             EXPECT_TRUE(alive());
         }},
        {"lying lengths",
         [&] {
             std::vector<std::unique_ptr<RawConnection>> liars;
             for (int i = 0; i < 8; ++i) {
                 liars.push_back(std::make_unique<RawConnection>(port()));
                 ASSERT_TRUE(liars.back()->send(head_start + "Content-Length: 100000\r\n\r\n{\"list\":"));
             }
             // No worker waits for their bodies: an editor's upload goes through meanwhile.
             EXPECT_TRUE(alive());
             httplib::Result upload = client().Post("/upload", list_body({picture_file()}), "application/json");
             ASSERT_TRUE(upload);
             EXPECT_EQ(json::parse(upload->body, nullptr, false)["result"], json({address_of_png()}));
             for (auto& liar : liars) {
                 bool closed = false;
                 liar->read_until_closed(3s, &closed);
                 EXPECT_TRUE(closed) << "a stalled body is cut at the idle limit";
             }
         }},
        {"declared length over the limit",
         [&] {
             RawConnection connection(port());
             ASSERT_TRUE(connection.send(head_start + "Content-Length: 1000000000\r\n\r\n"));
             // Answered before any of the body is sent; a server waiting for it would close without a word.
             EXPECT_EQ(status_line(connection.read_until_closed(3s)), "HTTP/1.1 413 Payload Too Large");
         }},
        {"header flood",
         [&] {
             std::string many = "GET /heartbeat HTTP/1.1\r\n";
             for (int i = 0; i < 150; ++i)
                 many += "X-Filler-" + std::to_string(i) + ": x\r\n";
             RawConnection lines(port());
             ASSERT_TRUE(lines.send(many + "\r\n"));
             EXPECT_EQ(status_line(lines.read_until_closed(3s)), "HTTP/1.1 431 Request Header Fields Too Large");
             // One line that never ends is refused once it passes the size bound, without waiting for more.
             RawConnection huge(port());
             ASSERT_TRUE(huge.send("GET /heartbeat HTTP/1.1\r\nX-Big: " + std::string(70 * 1024, 'a')));
             EXPECT_EQ(status_line(huge.read_until_closed(3s)), "HTTP/1.1 431 Request Header Fields Too Large");
         }},
        {"page on a loopback address",
         [&] {
             const std::size_t before = commits();
             RawConnection page(port());
             const std::string body = list_body({picture_file("page.png")});
             ASSERT_TRUE(page.send(head_start + "Origin: http://127.0.0.1:8899\r\nContent-Type: text/plain\r\n" +
                                   "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body));
             const std::string answer = page.read_until_closed(3s);
             EXPECT_EQ(status_line(answer), "HTTP/1.1 403 Forbidden");
             EXPECT_EQ(answer.find("Access-Control-Allow-Origin"), std::string::npos);
             EXPECT_EQ(commits(), before);
         }},
        {"foreign Host name",
         [&] {
             const std::size_t before = commits();
             RawConnection rebound(port());
             const std::string body = list_body({picture_file("rebound.png")});
             ASSERT_TRUE(rebound.send("POST /upload HTTP/1.1\r\nHost: evil.example:36677\r\nContent-Length: " +
                                      std::to_string(body.size()) + "\r\n\r\n" + body));
             EXPECT_EQ(status_line(rebound.read_until_closed(3s)), "HTTP/1.1 403 Forbidden");
             EXPECT_EQ(commits(), before);
         }},
        {"download that never arrives",
         [&] {
             test::RawHttpServer dripping;
             dripping.answer(test::RawAnswer{"HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n\x89PNG",
                                             test::RawAnswer::Then::hold});
             auto upload = std::async(std::launch::async, [&] {
                 return client(10s).Post("/upload", list_body({dripping.url("/slow.png")}), "application/json");
             });
             ASSERT_TRUE(dripping.wait_for_requests(1));
             EXPECT_TRUE(alive());
             ASSERT_EQ(upload.wait_for(5s), std::future_status::ready);
             httplib::Result result = upload.get();
             ASSERT_TRUE(result);
             EXPECT_NE(result->body.find("下载"), std::string::npos) << result->body;
         }},
    };
    for (const Attack& attack : attacks) {
        SCOPED_TRACE(attack.name);
        const auto began = Clock::now();
        attack.run();
        EXPECT_LT(Clock::now() - began, 8s);
        EXPECT_TRUE(alive());
    }
}

TEST_F(UploadServerHostileTest, OnlyEditorOriginsAndLocalHostNamesAreServedAndTheyMayReadTheAnswer) {
    start();
    const std::string own_host = "127.0.0.1:" + std::to_string(port());
    struct Case {
        std::string origin; // empty: none
        std::string host;
        int status;
    };
    const std::vector<Case> cases = {
        {"", own_host, 200},
        {"app://obsidian.md", own_host, 200},
        {"vscode-webview://1a2b3c", own_host, 200},
        {"typora://app", "localhost:" + std::to_string(port()), 200},
        {"", "[::1]:" + std::to_string(port()), 200},
        {"https://pages.example", own_host, 403},
        {"http://127.0.0.1:8899", own_host, 403},
        {"http://localhost:3000", own_host, 403},
        {"https://[::1]", own_host, 403},
        {"null", own_host, 403},
        {"chrome-extension://abcdefgh", own_host, 403},
        {"moz-extension://1234-5678", own_host, 403},
        {"", "evil.example", 403},
        {"app://obsidian.md", "127.0.0.1.evil.example:" + std::to_string(port()), 403},
    };
    const std::string body = list_body({picture_file()});
    std::size_t served = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.origin + " via " + c.host);
        httplib::Headers headers = {{"Host", c.host}};
        if (!c.origin.empty())
            headers.emplace("Origin", c.origin);
        httplib::Result result = client().Post("/upload", headers, body, "text/plain");
        ASSERT_TRUE(result);
        EXPECT_EQ(result->status, c.status);
        const json answer = json::parse(result->body, nullptr, false);
        EXPECT_EQ(answer["success"], c.status == 200);
        // Only a served origin is echoed, never "*".
        EXPECT_EQ(result->get_header_value("Access-Control-Allow-Origin"), c.status == 200 ? c.origin : "");
        served += c.status == 200 ? 1 : 0;

        // The preflight of the same request is answered the same way.
        httplib::Headers ask = headers;
        ask.emplace("Access-Control-Request-Method", "POST");
        ask.emplace("Access-Control-Request-Headers", "content-type");
        httplib::Result preflight = client().Options("/upload", ask);
        ASSERT_TRUE(preflight);
        EXPECT_EQ(preflight->status, c.status == 200 ? 204 : 403);
        EXPECT_EQ(preflight->get_header_value("Access-Control-Allow-Origin"), c.status == 200 ? c.origin : "");
        if (c.status == 200 && !c.origin.empty()) {
            EXPECT_NE(preflight->get_header_value("Access-Control-Allow-Methods").find("POST"), std::string::npos);
        }
    }
    EXPECT_EQ(commits(), 1u); // the picture once; every later request finds its record
    EXPECT_EQ(served, 5u);
}

TEST_F(UploadServerHostileTest, WithAKeyAnyOriginCarryingItIsServed) {
    options.key = "k3y";
    start();
    const std::string body = list_body({picture_file()});
    const httplib::Headers page = {{"Origin", "https://pages.example"}};
    httplib::Result with_key = client().Post("/upload?key=k3y", page, body, "text/plain");
    ASSERT_TRUE(with_key);
    EXPECT_EQ(with_key->status, 200);
    EXPECT_EQ(with_key->get_header_value("Access-Control-Allow-Origin"), "https://pages.example");
    httplib::Result wrong = client().Post("/upload?key=other", page, body, "text/plain");
    ASSERT_TRUE(wrong);
    EXPECT_EQ(wrong->status, 401);
    EXPECT_EQ(wrong->get_header_value("Access-Control-Allow-Origin"), "");
}

TEST_F(UploadServerHostileTest, AStopAnswersWaitingRequests503FinishesUploadsAndCutsDownloads) {
    options.workers = 2;
    options.download_deadline = 60s; // only the stop may end the download below
    options.download_idle_limit = 60s;
    service.set_create_delay(600ms);
    start();
    test::RawHttpServer dripping;
    dripping.answer(
        test::RawAnswer{"HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n\x89PNG", test::RawAnswer::Then::hold});
    auto post = [&](const std::string& body) {
        return std::async(std::launch::async, [this, body] {
            httplib::Result result = client(20s).Post("/upload", body, "application/json");
            return result ? std::make_pair(result->status, json::parse(result->body, nullptr, false))
                          : std::make_pair(0, json());
        });
    };
    // One worker uploads (the service takes its time), the other waits for a download that never ends.
    auto uploading = post(list_body({picture_file()}));
    auto downloading = post(list_body({dripping.url("/slow.png")}));
    ASSERT_TRUE(dripping.wait_for_requests(1));
    const auto commit_seen = Clock::now() + 10s;
    while (commits() == 0 && Clock::now() < commit_seen)
        std::this_thread::sleep_for(5ms);
    ASSERT_EQ(commits(), 1u);
    // Both workers are busy: these wait in line.
    std::vector<std::unique_ptr<RawConnection>> waiting;
    for (int i = 0; i < 3; ++i) {
        const std::string body = list_body({picture_file("w" + std::to_string(i) + ".png")});
        waiting.push_back(std::make_unique<RawConnection>(port()));
        ASSERT_TRUE(waiting.back()->send("POST /upload HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: " +
                                         std::to_string(body.size()) + "\r\n\r\n" + body));
    }
    // The connection thread reads connections in the order it took them: once a heartbeat sent after these has
    // been answered, they have been read too.
    RawConnection probe(port());
    ASSERT_TRUE(probe.send("GET /heartbeat HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n"));
    ASSERT_EQ(status_line(probe.read_until_closed(3s)), "HTTP/1.1 200 OK");

    // A request whose head is still on its way when the port closes is answered too, once it is complete.
    RawConnection late(port());
    ASSERT_TRUE(late.send("POST /upload HTTP/1.1\r\n"));
    RawConnection second_probe(port());
    ASSERT_TRUE(second_probe.send("GET /heartbeat HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n"));
    ASSERT_EQ(status_line(second_probe.read_until_closed(3s)), "HTTP/1.1 200 OK");

    const auto began = Clock::now();
    server->stop_accepting();
    ASSERT_TRUE(late.send("Host: 127.0.0.1\r\nContent-Length: 2\r\n\r\n{}"));
    EXPECT_EQ(status_line(late.read_until_closed(3s)), "HTTP/1.1 503 Service Unavailable");
    server->stop();
    EXPECT_LT(Clock::now() - began, 5s);

    const auto uploaded = uploading.get();
    EXPECT_EQ(uploaded.first, 200);
    EXPECT_EQ(uploaded.second["result"], json({address_of_png()}));
    const auto cut = downloading.get();
    EXPECT_EQ(cut.first, 200);
    EXPECT_EQ(cut.second["success"], false);
    EXPECT_NE(cut.second.value("message", "").find("下载已中断"), std::string::npos) << cut.second.dump();
    for (auto& request : waiting) {
        // A request still in line is answered 503 in the failure shape; none is dropped.
        const std::string answer = request->read_until_closed(3s);
        EXPECT_EQ(status_line(answer), "HTTP/1.1 503 Service Unavailable");
        const json body =
            json::parse(answer.substr(std::min(answer.size(), answer.find("\r\n\r\n") + 4)), nullptr, false);
        EXPECT_EQ(body["success"], false);
        EXPECT_EQ(body["result"], json::array());
        EXPECT_TRUE(body["message"].is_string());
    }
    EXPECT_EQ(commits(), 1u);
}

TEST_F(UploadServerHostileTest, FormPartsWithAnyNameAndFileAddressesAreTaken) {
    start();
    const std::string gif = "GIF89a hostile form picture";
    const std::string jpeg = "\xFF\xD8\xFF\xE0 hostile form picture";
    // Parts named as other uploaders name them, in form order; a part without a file name is not a picture.
    httplib::MultipartFormDataItems form = {{"list", gif, "1718000000000.gif", "image/gif"},
                                            {"note", "just text", "", "text/plain"},
                                            {"image", jpeg, "photo.jpg", "image/jpeg"},
                                            {"files", kPng, "p.png", "image/png"}};
    httplib::Result posted = client().Post("/upload", form);
    ASSERT_TRUE(posted);
    const std::string base = service.base() + "alice/pics/raw/master/";
    EXPECT_EQ(json::parse(posted->body, nullptr, false),
              json({{"success", true},
                    {"result", {base + md5_hex(gif) + ".gif", base + md5_hex(jpeg) + ".jpg", address_of_png()}}}));

    // file:// addresses name files of this machine, percent-encoded or not.
    const std::string spaced = (dir.path() / "a b.png").string();
    std::ofstream(spaced, std::ios::binary) << kPng + "2";
    std::string encoded = "file://localhost";
    for (char c : spaced)
        encoded += c == ' ' ? std::string("%20") : std::string(1, c);
    httplib::Result listed = client().Post(
        "/upload", list_body({"file://" + picture_file(), encoded, "file://elsewhere/tmp/x.png"}), "application/json");
    ASSERT_TRUE(listed);
    const json answer = json::parse(listed->body, nullptr, false);
    EXPECT_EQ(answer["result"], json({address_of_png(), base + md5_hex(kPng + "2") + ".png", ""}));
    EXPECT_NE(answer["message"].get<std::string>().find("file://elsewhere/tmp/x.png: "), std::string::npos);
}

TEST_F(UploadServerHostileTest, KeptAliveConnectionsAndChunkedBodiesAreServed) {
    start();
    httplib::Client http = client();
    http.set_keep_alive(true);
    const std::string body = list_body({picture_file()});
    httplib::Result chunked = http.Post(
        "/upload",
        [&](std::size_t offset, httplib::DataSink& sink) {
            if (offset < body.size())
                sink.write(body.data() + offset, std::min<std::size_t>(7, body.size() - offset));
            else
                sink.done();
            return true;
        },
        "application/json");
    ASSERT_TRUE(chunked);
    EXPECT_EQ(json::parse(chunked->body, nullptr, false)["result"], json({address_of_png()}));
    httplib::Result again = http.Post("/upload", body, "application/json");
    ASSERT_TRUE(again);
    EXPECT_EQ(json::parse(again->body, nullptr, false)["result"], json({address_of_png()}));
    httplib::Result heartbeat = http.Get("/heartbeat");
    ASSERT_TRUE(heartbeat);
    EXPECT_EQ(heartbeat->status, 200);

    // Two requests sent ahead on one connection are answered in order.
    RawConnection pipelined(port());
    ASSERT_TRUE(pipelined.send("GET /heartbeat HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"
                               "GET /nowhere HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n"));
    const std::string answers = pipelined.read_until_closed(3s);
    const auto first = answers.find("HTTP/1.1 200 OK");
    const auto second = answers.find("HTTP/1.1 404 Not Found");
    EXPECT_NE(first, std::string::npos) << answers;
    EXPECT_NE(second, std::string::npos) << answers;
    EXPECT_LT(first, second);
}

} // namespace
} // namespace velpic
