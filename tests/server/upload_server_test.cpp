#include "server/upload_server.h"

#include "records/local_record_file.h"
#include "records/mysql_record_store.h"
#include "runtime/md5.h"
#include "support/mariadb_server.h"
#include "support/service_context.h"
#include "support/temp_dir.h"
#include "support/test_service.h"

#include <gtest/gtest.h>
#include <httplib.h>
#include <nlohmann/json.hpp>

#include <condition_variable>
#include <fstream>
#include <future>
#include <mutex>

namespace velpic {
namespace {

using nlohmann::json;
using test::ServiceAnswer;
using test::TestService;

const std::string kPng = std::string("\x89PNG\r\n\x1a\n", 8) + "server picture one";
const std::string kJpeg = "\xFF\xD8\xFF\xE0 server picture two";
const std::string kGif = "GIF89a server picture three";

class FixedClipboard : public ClipboardSource {
public:
    explicit FixedClipboard(ClipboardPicture picture) : picture_(std::move(picture)) {}
    ClipboardPicture read() override { return picture_; }

private:
    ClipboardPicture picture_;
};

class UploadServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(service.running());
        context = test::service_upload_context(service, dir.path(), "secret-token");
        context.machine_code = "77";
        options.port = 0;
    }
    void TearDown() override {
        server.reset();
        unsetenv("VELPIC_SERVICE_BASE");
    }

    // Starts the server with the options and clipboard as they are now.
    void start() {
        server = std::make_unique<UploadServer>(
            options, [this] { return context; }, clipboard,
            [this](const std::string& line) {
                {
                    std::lock_guard lock(log_mutex);
                    log.push_back(line);
                }
                log_changed.notify_all();
            });
        ASSERT_EQ(server->start(), "");
        ASSERT_GT(server->port(), 0);
    }
    httplib::Client client() const {
        httplib::Client c("127.0.0.1", server->port());
        c.set_read_timeout(60);
        return c;
    }
    std::filesystem::path write_file(const std::string& name, const std::string& bytes) const {
        std::filesystem::path path = dir.file(name);
        std::ofstream(path, std::ios::binary) << bytes;
        return path;
    }
    std::string address_of(const std::string& bytes, const std::string& extension) const {
        return service.base() + "alice/pics/raw/master/" + md5_hex(bytes) + extension;
    }
    std::size_t commits() const { return service.count_requests("POST", "/api/v5/repos/"); }
    static json body_of(const httplib::Result& result) {
        return result ? json::parse(result->body, nullptr, false) : json();
    }
    static std::string list_body(const std::vector<std::string>& entries) { return json{{"list", entries}}.dump(); }

    TestService service;
    test::TempDir dir;
    UploadContext context;
    ServerOptions options;
    std::shared_ptr<ClipboardSource> clipboard;
    std::unique_ptr<UploadServer> server;
    // The log line of a request is written after its answer has gone out.
    std::vector<std::string> log_lines(std::size_t at_least) {
        std::unique_lock lock(log_mutex);
        log_changed.wait_for(lock, std::chrono::seconds(10), [&] { return log.size() >= at_least; });
        return log;
    }

    std::mutex log_mutex;
    std::condition_variable log_changed;
    std::vector<std::string> log;
};

TEST_F(UploadServerTest, EachBodyFormUploadsItsPicturesInItemOrder) {
    ClipboardPicture copied;
    copied.png = std::string("\x89PNG\r\n\x1a\n", 8) + "clipboard bitmap";
    clipboard = std::make_shared<FixedClipboard>(copied);
    start();
    httplib::Client http = client();

    httplib::Result heartbeat = http.Get("/heartbeat");
    ASSERT_TRUE(heartbeat);
    EXPECT_EQ(heartbeat->status, 200);
    EXPECT_EQ(body_of(heartbeat), json({{"success", true}, {"result", "alive"}}));
    EXPECT_NE(heartbeat->get_header_value("Content-Type").find("application/json"), std::string::npos);

    // A JSON list: two files (one named in UTF-8) and a picture address, which is downloaded and sent again.
    service.put_file("bob", "elsewhere", "photo.jpeg", kJpeg);
    const std::string web_address = service.base() + "bob/elsewhere/raw/master/photo.jpeg";
    httplib::Result listed =
        http.Post("/upload",
                  list_body({write_file("猫 one.png", kPng).string(), web_address, write_file("g.gif", kGif).string()}),
                  "application/json");
    ASSERT_TRUE(listed);
    EXPECT_EQ(listed->status, 200);
    EXPECT_EQ(body_of(listed),
              json({{"success", true},
                    {"result", {address_of(kPng, ".png"), address_of(kJpeg, ".jpeg"), address_of(kGif, ".gif")}}}));
    ASSERT_TRUE(service.file("alice", "pics", md5_hex(kJpeg) + ".jpeg"));
    EXPECT_EQ(service.file("alice", "pics", md5_hex(kJpeg) + ".jpeg")->bytes, kJpeg);
    EXPECT_EQ(read_all_local_records(local_record_file_path(dir.path())).size(), 3u);

    // A form with two parts named "files": the extension from the file name, or from the signature without one.
    // Other parts are not pictures to upload.
    const std::string png2 = std::string("\x89PNG\r\n\x1a\n", 8) + "form picture";
    const std::string gif2 = "GIF87a form picture";
    httplib::MultipartFormDataItems form = {{"files", png2, "shot.png", "image/png"},
                                            {"note", "not a picture", "", "text/plain"},
                                            {"files", gif2, "no-extension", "application/octet-stream"}};
    httplib::Result posted = http.Post("/upload", form);
    ASSERT_TRUE(posted);
    EXPECT_EQ(body_of(posted),
              json({{"success", true}, {"result", {address_of(png2, ".png"), address_of(gif2, ".gif")}}}));

    // An empty body: the clipboard's bitmap as PNG.
    httplib::Result pasted = http.Post("/upload", "", "application/json");
    ASSERT_TRUE(pasted);
    EXPECT_EQ(body_of(pasted), json({{"success", true}, {"result", {address_of(copied.png, ".png")}}}));

    // The same pictures again send nothing: same digest naming, same records.
    service.forget_requests();
    httplib::Result again = http.Post("/upload", form);
    ASSERT_TRUE(again);
    EXPECT_EQ(body_of(again)["success"], true);
    EXPECT_EQ(commits(), 0u);
}

TEST_F(UploadServerTest, CameraNamesAndWebpPicturesAreTakenWithTheirOwnExtension) {
    start();
    const std::string webp = std::string("RIFF\x10\0\0\0WEBPVP8 ", 16) + "server picture four";
    // A file named in capitals keeps its capitals; a form part without a name is known by its WebP signature; a
    // downloaded "X.JPG" holding JPEG bytes keeps its name's extension.
    service.put_file("bob", "elsewhere", "X.JPG", kJpeg);
    httplib::Result listed = client().Post(
        "/upload",
        list_body({write_file("IMG_0001.PNG", kPng).string(), service.base() + "bob/elsewhere/raw/master/X.JPG"}),
        "application/json");
    EXPECT_EQ(body_of(listed),
              json({{"success", true}, {"result", {address_of(kPng, ".PNG"), address_of(kJpeg, ".JPG")}}}));
    httplib::Result posted =
        client().Post("/upload", httplib::MultipartFormDataItems{{"files", webp, "unnamed", "application/octet-stream"},
                                                                 {"files", kGif, "moving.Webp", "image/webp"}});
    EXPECT_EQ(body_of(posted),
              json({{"success", true}, {"result", {address_of(webp, ".webp"), address_of(kGif, ".Webp")}}}));
}

TEST_F(UploadServerTest, FailedItemsKeepTheirPlaceAndAreNamedWithTheirReason) {
    start();
    const std::string good = write_file("good.png", kPng).string();
    const std::string refused_by_service = write_file("refused.gif", kGif).string();
    ServiceAnswer refusal;
    refusal.status = 403;
    refusal.body = R"({"message":"403 Forbidden: no rights"})";
    refusal.headers = {{"Content-Type", "application/json"}};
    service.preset_answer("POST", "/api/v5/repos/alice/pics/contents/" + md5_hex(kGif) + ".gif", refusal);
    const std::string missing = (dir.path() / "missing.png").string();
    const std::string text_file = write_file("notes.txt", "plain text").string();
    const std::string gone = service.base() + "bob/elsewhere/raw/master/gone.png";
    service.put_file("bob", "elsewhere", "page.png", "<html>not a picture</html>");
    const std::string html = service.base() + "bob/elsewhere/raw/master/page.png";

    json entries = json::array({good, missing, text_file, "relative/x.png", gone, html, 42, refused_by_service});
    httplib::Result result = client().Post("/upload", json{{"list", entries}}.dump(), "application/json");
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, 200);
    const json answer = body_of(result);
    EXPECT_EQ(answer["success"], false);
    EXPECT_EQ(answer["result"], json({address_of(kPng, ".png"), "", "", "", "", "", "", ""}));
    const std::string message = answer["message"];
    const std::vector<std::string> expected_lines = {
        missing + ": 上传失败！[错误原因：文件无法读取或为空]",
        text_file + ": 只能是PNG,JPG,GIF,WEBP格式的图片！",
        "relative/x.png: 上传失败！[错误原因：既不是绝对路径，也不是 file:// 或 http(s) 地址]",
        gone + ": 上传失败！[错误原因：下载失败：HTTP 404]",
        html + ": 只能是PNG,JPG,GIF,WEBP格式的图片！",
        "list[6]: 上传失败！[错误原因：不是文本，而是数字]",
        refused_by_service + ": 上传失败！[错误原因：没有权限（令牌的权限不足或仓库拒绝写入）（HTTP 403：403 Forbidden: no rights）]",
    };
    std::string joined;
    for (const std::string& line : expected_lines)
        joined += (joined.empty() ? "" : "\n") + line;
    EXPECT_EQ(message, joined);
    EXPECT_EQ(commits(), 2u); // the good picture and the refused one; nothing for the rest
}

TEST_F(UploadServerTest, AKeyIsRequiredOnEveryRequestOnceSetAndElsewhereThanLoopback) {
    // Beyond this machine only with a key.
    options.host = "0.0.0.0";
    UploadServer open(
        options, [this] { return context; }, nullptr);
    EXPECT_NE(open.start().find("set a key"), std::string::npos);
    EXPECT_EQ(open.port(), 0);
    EXPECT_TRUE(is_loopback_host("127.0.0.1") && is_loopback_host("127.8.9.1") && is_loopback_host("::1") &&
                is_loopback_host("localhost"));
    EXPECT_FALSE(is_loopback_host("0.0.0.0") || is_loopback_host("::") || is_loopback_host("192.168.1.2") ||
                 is_loopback_host("localhost.example"));

    options.key = "k&y 1";
    start();
    httplib::Client http = client();
    const std::string body = list_body({write_file("k.png", kPng).string()});
    for (const std::string& target : {std::string("/upload"), std::string("/upload?key=wrong")}) {
        httplib::Result refused = http.Post(target, body, "application/json");
        ASSERT_TRUE(refused) << target << " " << httplib::to_string(refused.error());
        EXPECT_EQ(refused->status, 401) << target;
        const json answer = body_of(refused);
        EXPECT_EQ(answer["success"], false);
        EXPECT_TRUE(answer["message"].is_string() && !answer["message"].get<std::string>().empty());
    }
    httplib::Result no_key_heartbeat = http.Get("/heartbeat");
    ASSERT_TRUE(no_key_heartbeat);
    EXPECT_EQ(no_key_heartbeat->status, 401);
    EXPECT_EQ(commits(), 0u);

    httplib::Result accepted = http.Post("/upload?key=k%26y%201", body, "application/json");
    ASSERT_TRUE(accepted);
    EXPECT_EQ(accepted->status, 200);
    EXPECT_EQ(body_of(accepted)["result"], json({address_of(kPng, ".png")}));

    // One line per request, none of them with the key or the token.
    const std::vector<std::string> lines = log_lines(4);
    ASSERT_EQ(lines.size(), 4u);
    for (const std::string& line : lines) {
        EXPECT_EQ(line.find("k&y 1"), std::string::npos) << line;
        EXPECT_EQ(line.find("k%26y"), std::string::npos) << line;
        EXPECT_EQ(line.find("secret-token"), std::string::npos) << line;
        EXPECT_EQ(line.find('\n'), std::string::npos) << line;
    }
    EXPECT_NE(lines.back().find("POST /upload 200 1 张图片"), std::string::npos) << lines.back();
}

TEST_F(UploadServerTest, OversizedBodiesGet413AndBadBodiesAClearMessage) {
    options.payload_limit = 4096;
    start();
    httplib::Client http = client();

    // Over the limit with a declared length, and as a chunked body that never declares one.
    const std::string big = list_body({std::string(5000, 'a')});
    httplib::Result declared = http.Post("/upload", big, "application/json");
    ASSERT_TRUE(declared) << httplib::to_string(declared.error());
    EXPECT_EQ(declared->status, 413);
    EXPECT_EQ(body_of(declared), json({{"success", false}, {"message", "请求体大于 4096 字节的上限"}}));
    httplib::Client chunked_client = client();
    httplib::Result chunked = chunked_client.Post(
        "/upload",
        [&](std::size_t offset, httplib::DataSink& sink) {
            if (offset < big.size())
                sink.write(big.data() + offset, std::min<std::size_t>(1000, big.size() - offset));
            else
                sink.done();
            return true;
        },
        "application/json");
    ASSERT_TRUE(chunked);
    EXPECT_EQ(chunked->status, 413);

    // The body as a whole cannot be taken: no items, a message saying why.
    for (const auto& [body, message] :
         std::vector<std::pair<std::string, std::string>>{{R"({"list": ["/a.png",)", "JSON 格式错误（在第 20 字节）"},
                                                          {R"({"files": []})", "JSON 中没有 \"list\" 数组"},
                                                          {R"(["/a.png"])", "JSON 中没有 \"list\" 数组"}}) {
        httplib::Result result = http.Post("/upload", body, "application/json");
        ASSERT_TRUE(result) << body;
        EXPECT_EQ(result->status, 200);
        EXPECT_EQ(body_of(result), json({{"success", false}, {"message", message}, {"result", json::array()}}));
    }

    // Downloads and files are held to the same limit.
    service.put_file("bob", "elsewhere", "big.png", std::string("\x89PNG\r\n\x1a\n", 8) + std::string(5000, 'p'));
    const std::string big_address = service.base() + "bob/elsewhere/raw/master/big.png";
    const std::string big_file = write_file("big.png", std::string(5000, 'p')).string();
    httplib::Result limited = http.Post("/upload", list_body({big_address, big_file}), "application/json");
    ASSERT_TRUE(limited);
    EXPECT_EQ(body_of(limited)["message"], big_address + ": 上传失败！[错误原因：下载的图片大于 4096 字节的上限]\n" +
                                               big_file + ": 上传失败！[错误原因：图片大于 4096 字节的上限，没有上传]");

    // Without a display the clipboard cannot be read; a server that refused everything still answers.
    httplib::Result pasted = http.Post("/upload", "", "text/plain");
    ASSERT_TRUE(pasted);
    EXPECT_EQ(body_of(pasted)["message"], "clipboard: 没有显示器，无法读取剪贴板");
    EXPECT_EQ(commits(), 0u);
    httplib::Result alive = http.Get("/heartbeat");
    ASSERT_TRUE(alive);
    EXPECT_EQ(alive->status, 200);
}

TEST_F(UploadServerTest, WebPagesAndUnknownAddressesAreRefused) {
    start();
    httplib::Client http = client();
    const std::string body = list_body({write_file("w.png", kPng).string()});
    httplib::Result from_page = http.Post("/upload", {{"Origin", "https://pages.example"}}, body, "application/json");
    ASSERT_TRUE(from_page);
    EXPECT_EQ(from_page->status, 403);
    EXPECT_EQ(body_of(from_page)["success"], false);
    httplib::Result sandboxed = http.Post("/upload", {{"Origin", "null"}}, "", "text/plain");
    ASSERT_TRUE(sandboxed);
    EXPECT_EQ(sandboxed->status, 403);
    EXPECT_EQ(commits(), 0u);

    // Editors built on web engines name their own application; a page on this machine is a web page too.
    httplib::Result from_editor = http.Post("/upload", {{"Origin", "app://obsidian.md"}}, body, "application/json");
    ASSERT_TRUE(from_editor);
    EXPECT_EQ(body_of(from_editor)["success"], true);
    httplib::Result local_page = http.Post("/upload", {{"Origin", "http://localhost:5173"}}, body, "application/json");
    ASSERT_TRUE(local_page);
    EXPECT_EQ(local_page->status, 403);

    httplib::Result unknown = http.Get("/upload");
    ASSERT_TRUE(unknown);
    EXPECT_EQ(unknown->status, 404);
    EXPECT_EQ(body_of(unknown)["success"], false);
}

TEST_F(UploadServerTest, ConcurrentRequestsForOneNewPictureCommitItOnce) {
    service.set_create_delay(std::chrono::milliseconds(300));
    options.workers = 2;
    start();
    const std::string body = list_body({write_file("same.png", kPng).string()});
    auto post = [&] {
        httplib::Client http = client();
        httplib::Result result = http.Post("/upload", body, "application/json");
        return result ? result->body : std::string();
    };
    std::future<std::string> first = std::async(std::launch::async, post);
    std::future<std::string> second = std::async(std::launch::async, post);
    const json expected = {{"success", true}, {"result", {address_of(kPng, ".png")}}};
    EXPECT_EQ(json::parse(first.get(), nullptr, false), expected);
    EXPECT_EQ(json::parse(second.get(), nullptr, false), expected);
    EXPECT_EQ(commits(), 1u);

    // More requests than workers wait in line; none is lost.
    std::vector<std::future<std::string>> queued;
    for (int i = 0; i < 6; ++i)
        queued.push_back(std::async(std::launch::async, post));
    for (auto& result : queued)
        EXPECT_EQ(json::parse(result.get(), nullptr, false), expected);
    EXPECT_EQ(commits(), 1u);
}

TEST_F(UploadServerTest, APortInUseIsReportedAndStopFreesIt) {
    start();
    ServerOptions same = options;
    same.port = server->port();
    UploadServer second(
        same, [this] { return context; }, nullptr);
    const std::string failure = second.start();
    EXPECT_NE(failure.find("cannot listen on 127.0.0.1:" + std::to_string(same.port)), std::string::npos) << failure;
    EXPECT_NE(failure.find("in use"), std::string::npos) << failure;

    // Stopped, the port is free at once: nothing answers there, and a failed start may be tried again.
    server->stop();
    httplib::Client http("127.0.0.1", same.port);
    EXPECT_FALSE(http.Get("/heartbeat"));
    EXPECT_EQ(second.start(), "");
    EXPECT_EQ(second.start(), "the server has been started before");
    httplib::Result alive = http.Get("/heartbeat");
    ASSERT_TRUE(alive);
    EXPECT_EQ(alive->status, 200);
}

TEST_F(UploadServerTest, MysqlModeRecordsInTheSharedTable) {
    test::TestDatabase database;
    ASSERT_TRUE(database.ok()) << test::shared_mariadb().error();
    context.record_mode = "mysql";
    context.mysql = database.settings();
    MysqlRecordStore store(context.mysql);
    ASSERT_TRUE(store.ensure_record_table().ok);
    // Another machine's picture is found by its digest and not sent again.
    ASSERT_TRUE(store.insert_record(UploadRecord{md5_hex(kGif), "1", "other", address_of(kGif, ".gif"), ".gif"}).ok);
    start();

    httplib::Result result =
        client().Post("/upload", list_body({write_file("m.png", kPng).string(), write_file("o.gif", kGif).string()}),
                      "application/json");
    ASSERT_TRUE(result);
    const json answer = body_of(result);
    EXPECT_EQ(answer, json({{"success", true}, {"result", {address_of(kPng, ".png"), address_of(kGif, ".gif")}}}));
    EXPECT_EQ(commits(), 1u);
    const std::vector<UploadRecord> mine = store.list_machine_records("77");
    ASSERT_EQ(mine.size(), 1u);
    EXPECT_EQ(mine[0].ImgMd5, md5_hex(kPng));
    EXPECT_EQ(mine[0].ImgUrl, address_of(kPng, ".png"));
    EXPECT_FALSE(std::filesystem::exists(local_record_file_path(dir.path())));
}

TEST_F(UploadServerTest, ALogLineStaysWithinAFewKilobytesWhateverTheList) {
    start();
    std::vector<std::string> paths;
    for (int i = 0; i < 10000; ++i)
        paths.push_back((dir.path() / ("missing-" + std::to_string(i) + ".png")).string());
    httplib::Result answered = client().Post("/upload", list_body(paths), "application/json");
    ASSERT_TRUE(answered);
    EXPECT_EQ(answered->status, 200);
    const std::vector<std::string> lines = log_lines(1);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_LE(lines.back().size(), 4500u);
    EXPECT_NE(lines.back().find("10000 张图片，10000 张失败：" + paths.front()), std::string::npos);
    EXPECT_NE(lines.back().find("；…另有 "), std::string::npos) << lines.back().substr(lines.back().size() - 40);
}

} // namespace
} // namespace velpic
