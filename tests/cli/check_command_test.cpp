#include "settings/app_state.h"
#include "cli/command_line.h"
#include "settings/settings_store.h"
#include "records/local_record_file.h"
#include "runtime/codepage.h"
#include "runtime/files.h"
#include "runtime/ini_file.h"
#include "runtime/md5.h"
#include "runtime/program_dir.h"
#include "support/raw_http_server.h"
#include "support/temp_dir.h"
#include "support/test_service.h"

#include <gtest/gtest.h>

#include <chrono>

#include <fstream>
#include <sstream>

namespace velpic {
namespace {

using test::TestService;

struct Outcome {
    int status = -1;
    std::string out;
    std::string err;
};

Outcome run(std::vector<std::string> args) {
    args.insert(args.begin(), "velpic");
    std::vector<char*> argv;
    for (std::string& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    std::ostringstream out, err;
    Outcome result;
    result.status = run_command_line(static_cast<int>(args.size()), argv.data(), out, err);
    result.out = out.str();
    result.err = err.str();
    return result;
}

const std::string kPng = std::string("\x89PNG\r\n\x1A\n\0\0\0\rIHDR", 16);

class CheckCommandTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(service.running());
        set_program_dir(dir.path());
        SettingsPage page;
        page.owner = "alice";
        page.repo = "pics";
        page.access_token = "tok";
        AppState state;
        ASSERT_TRUE(SettingsStore(settings_file_path()).save(page, false, state).gitee_saved);
    }

    // A record of a picture the service holds (or not, when bytes is empty), stored under its digest as uploads
    // store it; returns its output line's tail. name only tells records with the same bytes apart.
    std::string record(const std::string& name, const std::string& bytes, const std::string& digest = "") {
        const std::string md5 = digest.empty() ? md5_hex(bytes + name) : digest;
        const std::string address = service.download_url("alice", "pics", md5 + ".png");
        if (!bytes.empty())
            service.put_file("alice", "pics", md5 + ".png", bytes);
        EXPECT_TRUE(
            write_local_record(local_record_file_path(), UploadRecord{md5, "1638000000000", "", address, ".png"}));
        return "\t" + md5 + "\t" + address + "\n";
    }

    TestService service;
    test::TempDir dir;
};

TEST_F(CheckCommandTest, PrintsEachRecordsStatusInStoreOrderAndExitsByWhetherAllAreValid) {
    EXPECT_EQ(run({"check"}).status, 0); // no records: nothing has gone
    test::RefusingPort refusing;
    const std::string good = record("good.png", kPng + "good");
    const std::string gone = record("gone.png", "");
    const std::string junk = record("junk.png", "<html>not a picture</html>");
    ASSERT_TRUE(write_local_record(local_record_file_path(),
                                   UploadRecord{"x", "1638000000000", "", refusing.url("/x.png"), ".png"}));

    Outcome result = run({"check"});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out,
              "有效" + good + "已失效" + gone + "内容异常" + junk + "检测失败\tx\t" + refusing.url("/x.png") + "\n");
    EXPECT_EQ(result.err, ""); // no progress line when standard error is not a terminal

    ASSERT_TRUE(remove_all_local_records(local_record_file_path()));
    const std::string again = record("good.png", kPng + "good");
    result = run({"check", "--jobs", "16"});
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out, "有效" + again);
}

TEST_F(CheckCommandTest, MaxAgeLetsRecentStatusesStandAndEveryCheckIsRemembered) {
    const std::string good = record("good.png", kPng + "good");
    const std::string gone = record("gone.png", "");
    Outcome result = run({"check"});
    EXPECT_EQ(result.out, "有效" + good + "已失效" + gone);
    EXPECT_EQ(service.requests().size(), 2u);

    // Both were checked a moment ago: the same lines, no request.
    service.put_file("alice", "pics", good.substr(1, 32) + ".png", "<html>replaced</html>");
    result = run({"check", "--max-age", "24"});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, "有效" + good + "已失效" + gone);
    EXPECT_EQ(service.requests().size(), 2u);

    // Statuses older than the limit are checked again; the default checks all, and what is found is remembered.
    const std::filesystem::path memory = program_dir() / std::filesystem::path(u8"链接状态.txt");
    std::string bytes = read_whole_file(memory);
    for (std::size_t line = bytes.find('\n') + 1; line < bytes.size(); line = bytes.find('\n', line) + 1) {
        ASSERT_EQ(bytes.compare(line, 2, "17"), 0); // seconds since 1970
        bytes.replace(line, bytes.find('\t', line) - line, "1000");
    }
    std::ofstream(memory, std::ios::binary | std::ios::trunc) << bytes;
    EXPECT_EQ(run({"check", "--max-age=24"}).out, "内容异常" + good + "已失效" + gone);
    EXPECT_EQ(service.requests().size(), 4u);
    EXPECT_EQ(run({"check", "--max-age", "24"}).out, "内容异常" + good + "已失效" + gone);
    EXPECT_EQ(service.requests().size(), 4u);
    EXPECT_EQ(run({"check"}).out, "内容异常" + good + "已失效" + gone);
    EXPECT_EQ(service.requests().size(), 6u);
    // A deep check reads what a shallow one never did.
    run({"check", "--deep", "--max-age", "24"});
    EXPECT_EQ(service.requests().size(), 8u);
}

TEST_F(CheckCommandTest, TheRateComesFromTheCommandOverTheSettingAndSpacesTheChecks) {
    std::string lines;
    for (int i = 0; i < 3; ++i)
        lines += "有效" + record("r" + std::to_string(i) + ".png", kPng + std::to_string(i));
    Outcome result = run({"config", "set", "check-rate", "1001"});
    EXPECT_NE(result.status, 0);
    result = run({"config", "set", "check-rate", "2"});
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(read_ini_value(settings_file_path(), utf8_to_gbk("链接检测"), "Rate"), "2");
    EXPECT_NE(run({"config", "show"}).out.find("check-rate\t2\n"), std::string::npos);

    // Two a second: the third check cannot start before a second has passed.
    auto began = std::chrono::steady_clock::now();
    result = run({"check"});
    EXPECT_EQ(result.out, lines);
    EXPECT_GE(std::chrono::steady_clock::now() - began, std::chrono::seconds(1));
    // One a second from the command, whatever the setting says.
    ASSERT_TRUE(write_ini_value(settings_file_path(), utf8_to_gbk("链接检测"), "Rate", "0"));
    began = std::chrono::steady_clock::now();
    result = run({"check", "--rate", "1"});
    EXPECT_EQ(result.out, lines);
    EXPECT_GE(std::chrono::steady_clock::now() - began, std::chrono::seconds(2));
    EXPECT_EQ(run({"check", "--rate=0"}).out, lines);
}

TEST_F(CheckCommandTest, DeepCheckRefererAndMisuse) {
    const std::string swapped = record("swapped.png", kPng + "served", md5_hex(kPng + "uploaded"));
    Outcome result = run({"check"});
    EXPECT_EQ(result.out, "有效" + swapped);
    result = run({"check", "--deep"});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, "内容异常" + swapped);

    // The saved Referer applies unless the command names another (or none).
    service.set_icon_for_foreign_referer(true);
    EXPECT_EQ(run({"check", "--referer=https://blog.example/post"}).out, "内容异常" + swapped);
    EXPECT_EQ(service.requests().back().header("Referer"), "https://blog.example/post");
    ASSERT_TRUE(write_ini_value(settings_file_path(), utf8_to_gbk("链接检测"), "Referer", "https://blog.example/"));
    EXPECT_EQ(run({"check"}).status, 1);
    EXPECT_EQ(service.requests().back().header("Referer"), "https://blog.example/");
    EXPECT_EQ(run({"check", "--referer", ""}).status, 0);
    EXPECT_FALSE(service.requests().back().has_header("Referer"));

    const std::size_t requests = service.requests().size();
    for (const std::vector<std::string>& misuse : std::vector<std::vector<std::string>>{
             {"check", "--jobs", "0"},
             {"check", "--jobs", "17"},
             {"check", "--jobs=four"},
             {"check", "--jobs"},
             {"check", "--referer", "ftp://blog.example/"},
             {"check", "--quick"},
             {"check", "--max-age", "-1"},
             {"check", "--max-age", "8761"},
             {"check", "--max-age"},
             {"check", "--rate", "-1"},
             {"check", "--rate", "1001"},
             {"check", "--rate=fast"},
             {"check", "--rate"},
         }) {
        result = run(misuse);
        EXPECT_EQ(result.status, 2) << misuse.back();
        EXPECT_EQ(result.out, "");
        EXPECT_NE(result.err.find("usage: velpic"), std::string::npos);
    }
    EXPECT_EQ(service.requests().size(), requests);

    // MySQL settings that cannot be used are not a verdict on the links, nor misuse.
    SettingsPage page;
    page.owner = "alice";
    page.repo = "pics";
    page.access_token = "tok";
    AppState state;
    SettingsStore(
        settings_file_path(), [] { return std::string("77"); }, [](const MysqlSettings&) {})
        .save(page, true, state);
    result = run({"check"});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, "");
    EXPECT_NE(result.err.find("MySQL settings are incomplete"), std::string::npos);

    result = run({"check", "--help"});
    EXPECT_EQ(result.status, 0);
    EXPECT_NE(result.out.find("--deep"), std::string::npos);
    EXPECT_NE(run({"--help"}).out.find("check [--deep] [--referer URL] [--jobs N]"), std::string::npos);
    char program[] = "velpic", command[] = "check";
    char* argv[] = {program, command, nullptr};
    EXPECT_TRUE(is_command_line(2, argv)); // main runs it without a window
}

} // namespace
} // namespace velpic
