#include "support/child_process.h"

#include "settings/app_state.h"
#include "settings/settings_store.h"
#include "records/local_record_file.h"
#include "runtime/md5.h"
#include "support/temp_dir.h"
#include "support/test_service.h"

#include <gtest/gtest.h>
#include <httplib.h>
#include <nlohmann/json.hpp>

#include <csignal>
#include <fstream>
#include <future>

using namespace velpic;
using namespace velpic::test;

namespace {

const std::string kProgram = VELPIC_EXECUTABLE;
const std::vector<std::string> kNoDisplay = {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"};

class ProgramTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(service.running()); }

    std::vector<std::string> data_dir() const { return {"--data-dir", dir.path().string()}; }
    std::vector<std::string> with_data_dir(std::vector<std::string> args) const {
        args.insert(args.begin(), {"--data-dir", dir.path().string()});
        return args;
    }
    std::vector<std::string> service_env(std::vector<std::string> env = {}) const {
        env.push_back("VELPIC_SERVICE_BASE=" + service.base());
        return env;
    }
    void save_settings() const {
        SettingsPage page;
        page.owner = "alice";
        page.repo = "pics";
        page.access_token = "tok";
        AppState state;
        ASSERT_TRUE(SettingsStore(dir.path() / u8"配置.ini").save(page, false, state).saved);
    }

    TestService service;
    TempDir dir;
};

} // namespace

TEST_F(ProgramTest, WithoutADisplayTheWindowAndTheClipboardEndWithOneSentenceAndStatus2) {
    save_settings();
    for (const std::vector<std::string>& display :
         std::vector<std::vector<std::string>>{kNoDisplay, {"WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "DISPLAY=:97"}}) {
        ChildProcess window(kProgram, data_dir(), display);
        EXPECT_EQ(window.wait_for_exit(), 2) << display.back();
        EXPECT_EQ(window.out(), "");
        EXPECT_EQ(window.err(), "velpic: cannot open the window without a display (set DISPLAY or WAYLAND_DISPLAY; "
                                "the command line needs none, see velpic --help)\n")
            << display.back();
    }

    ChildProcess paste(kProgram, with_data_dir({"upload"}), service_env(kNoDisplay));
    EXPECT_EQ(paste.wait_for_exit(), 2);
    EXPECT_EQ(paste.out(), "");
    EXPECT_NE(paste.err().find("no display"), std::string::npos) << paste.err();

    // Misspelt commands and options never reach the window toolkit: usage, status 2, no core dump.
    for (const std::vector<std::string>& args :
         std::vector<std::vector<std::string>>{{"config"}, {"uplaod", "x.png"}, {"--bogus"}}) {
        ChildProcess misuse(kProgram, with_data_dir(args), kNoDisplay);
        EXPECT_EQ(misuse.wait_for_exit(), 2) << args.front();
        EXPECT_NE(misuse.err().find("usage: velpic"), std::string::npos) << args.front();
    }
    ChildProcess qt_misuse(kProgram, with_data_dir({"-bogus"}), {"QT_QPA_PLATFORM=offscreen"});
    EXPECT_EQ(qt_misuse.wait_for_exit(), 2);
    EXPECT_NE(qt_misuse.err().find("velpic: unknown option \"-bogus\""), std::string::npos) << qt_misuse.err();
    EXPECT_EQ(service.requests().size(), 0u);
}

TEST_F(ProgramTest, ServeStopsOnSigtermAfterFinishingTheUploadInFlight) {
    save_settings();
    const std::string picture = std::string("\x89PNG\r\n\x1a\n", 8) + "served while stopping";
    const std::filesystem::path file = dir.file("in flight.png");
    std::ofstream(file, std::ios::binary) << picture;
    service.set_create_delay(std::chrono::milliseconds(1500));

    // Under the offscreen platform the server reads the clipboard through the application's thread, as with a
    // display; the signal must still reach it.
    ChildProcess serve(kProgram, with_data_dir({"serve", "--port", "0"}), service_env({"QT_QPA_PLATFORM=offscreen"}));
    const std::optional<std::string> listening = serve.wait_for_error_line("正在监听 http://127.0.0.1:");
    ASSERT_TRUE(listening) << serve.err();
    const std::string after = listening->substr(listening->find("127.0.0.1:") + 10);
    const int port = std::stoi(after);

    std::future<httplib::Result> upload = std::async(std::launch::async, [&] {
        httplib::Client client("127.0.0.1", port);
        client.set_read_timeout(60);
        return client.Post("/upload", nlohmann::json{{"list", {file.string()}}}.dump(), "application/json");
    });
    ASSERT_TRUE(service.wait_for_requests(1)); // the commit is under way
    serve.signal(SIGTERM);

    httplib::Result answer = upload.get();
    ASSERT_TRUE(answer) << httplib::to_string(answer.error());
    const std::string address = service.base() + "alice/pics/raw/master/" + md5_hex(picture) + ".png";
    EXPECT_EQ(nlohmann::json::parse(answer->body, nullptr, false),
              nlohmann::json({{"success", true}, {"result", {address}}}));
    EXPECT_EQ(serve.wait_for_exit(), 0) << serve.err();
    EXPECT_NE(serve.err().find("POST /upload 200 1 张图片"), std::string::npos) << serve.err();
    EXPECT_NE(serve.err().find("SIGTERM，正在完成手头的上传"), std::string::npos) << serve.err();
    EXPECT_NE(serve.err().find("velpic serve：已停止"), std::string::npos) << serve.err();
    EXPECT_EQ(find_local_record(local_record_file_path(dir.path()), md5_hex(picture)), address);
    httplib::Client after_stop("127.0.0.1", port);
    EXPECT_FALSE(after_stop.Get("/heartbeat"));

    // Without a display it serves all the same, and says that the clipboard is out of reach.
    ChildProcess headless(kProgram, with_data_dir({"serve", "--port", "0", "--key", "s3cret"}),
                          service_env(kNoDisplay));
    ASSERT_TRUE(headless.wait_for_error_line("正在监听")) << headless.err();
    headless.signal(SIGINT);
    EXPECT_EQ(headless.wait_for_exit(), 0) << headless.err();
    EXPECT_NE(headless.err().find("剪贴板上传将会失败"), std::string::npos) << headless.err();
    EXPECT_EQ(headless.err().find("s3cret"), std::string::npos) << headless.err();
}
