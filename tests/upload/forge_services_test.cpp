// GitHub and Gitea behind the hosting service interface, each case run against the stand-in of both.
#include "runtime/codepage.h"
#include "runtime/md5.h"
#include "support/forge_test_service.h"
#include "upload/commit_picture.h"
#include "upload/git_blob.h"
#include "upload/hosting_service.h"

#include <gtest/gtest.h>
#include <httplib.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdlib>
#include <mutex>
#include <thread>

namespace velpic {
namespace {

using test::ForgeTestService;
using test::ServiceAnswer;
using Flavor = ForgeTestService::Flavor;

std::string picture(int n) {
    return "\x89PNG\r\n\x1a\npicture " + std::to_string(n);
}

std::string name_of(const std::string& bytes) {
    return md5_hex(bytes) + ".png";
}

// A repository name no other test of this process uses: the process remembers what it learned about a repository
// by its address, and a later stand-in may be given an earlier one's port.
std::string fresh_repo() {
    static int serial = 0;
    return "pics" + std::to_string(++serial);
}

ServiceAnswer answer(int status, const std::string& message) {
    ServiceAnswer made;
    made.status = status;
    made.headers = {{"Content-Type", "application/json"}};
    made.body = nlohmann::json{{"message", message}}.dump();
    return made;
}

class ForgeServicesTest : public ::testing::TestWithParam<Flavor> {
protected:
    void SetUp() override {
        ASSERT_TRUE(forge.running());
        setenv("VELPIC_RAW_BASE", forge.raw_base().c_str(), 1);
        forge.add_repository("alice", repo);
    }
    void TearDown() override { unsetenv("VELPIC_RAW_BASE"); }

    bool github() const { return GetParam() == Flavor::github; }

    std::unique_ptr<HostingService> open(const std::string& name, const std::string& token = "tok",
                                         const std::string& address_prefix = {}) {
        RepositoryProfile profile;
        profile.service = github() ? ServiceKind::github : ServiceKind::gitea;
        profile.owner = "alice";
        profile.repo = name;
        profile.access_token = token;
        profile.service_url = forge.base();
        profile.address_prefix = address_prefix;
        auto service = open_hosting_service(profile);
        service->set_wait_notice([this](const std::string& text) {
            std::lock_guard lock(notices_mutex);
            notices.push_back(text);
        });
        return service;
    }

    std::string contents_path(const std::string& name, const std::string& file) const {
        return (github() ? "/repos/alice/" : "/api/v1/repos/alice/") + name + "/contents/" + file;
    }
    std::string create_method() const { return github() ? "PUT" : "POST"; }
    std::string raw_prefix(const std::string& name) const {
        return forge.base() + "alice/" + name + (github() ? "/main/" : "/raw/branch/main/");
    }

    std::size_t writes() const {
        std::size_t total = 0;
        for (const char* kind : {"create", "delete", "multi", "blob", "tree", "commit", "ref_update"})
            total += forge.count(kind);
        return total;
    }

    ForgeTestService forge{GetParam()};
    const std::string repo = fresh_repo();
    const std::string message = utf8_to_gbk("上传图片");
    std::mutex notices_mutex;
    std::vector<std::string> notices;
};

TEST_P(ForgeServicesTest, CreateCommitsTheFileWithTheTokenOnlyInTheHeader) {
    auto service = open(repo);
    const std::string bytes = picture(1);
    const ContentsApiResult created = service->create_file(name_of(bytes), bytes, message);
    ASSERT_TRUE(created.ok) << to_utf8(created.reason);
    EXPECT_EQ(created.address, raw_prefix(repo) + name_of(bytes));
    ASSERT_TRUE(service->create_file(name_of(picture(2)), picture(2), message).ok);
    EXPECT_EQ(forge.count("repository"), 1u); // the default branch is asked once

    // The address serves the picture.
    httplib::Client raw("127.0.0.1", forge.port());
    const auto got = raw.Get(created.address.substr(forge.base().size() - 1));
    ASSERT_TRUE(got);
    EXPECT_EQ(got->body, bytes);

    const auto requests = forge.requests();
    for (const auto& request : requests) {
        if (request.path.starts_with(created.address.substr(forge.base().size() - 1)))
            continue; // the raw file, fetched without a token
        EXPECT_EQ(request.header("Authorization"), github() ? "Bearer tok" : "token tok") << request.target;
        EXPECT_EQ(request.target.find("tok"), std::string::npos) << request.target;
    }
    const auto create = std::find_if(requests.begin(), requests.end(), [&](const auto& request) {
        return request.path == contents_path(repo, name_of(bytes));
    });
    ASSERT_NE(create, requests.end());
    EXPECT_EQ(create->method, create_method());
    const nlohmann::json body = nlohmann::json::parse(create->body);
    EXPECT_EQ(body["message"], "上传图片");
    EXPECT_EQ(body["branch"], "main");
    EXPECT_EQ(test::base64_decode(body["content"]), bytes);
    EXPECT_EQ(service->repository_page(), forge.base() + "alice/" + repo);
}

TEST_P(ForgeServicesTest, AnAddressPrefixNamesTheFile) {
    auto service = open(repo, "tok", "https://img.example.com/p");
    const std::string bytes = picture(1);
    const ContentsApiResult created = service->create_file(name_of(bytes), bytes, message);
    ASSERT_TRUE(created.ok) << to_utf8(created.reason);
    EXPECT_EQ(created.address, "https://img.example.com/p/" + name_of(bytes));
    // Records made before the prefix was set still name the file.
    EXPECT_TRUE(service->is_file_address(raw_prefix(repo) + name_of(bytes), name_of(bytes)));
}

TEST_P(ForgeServicesTest, ACommitWhoseAnswerWasLostOrWhoseNameIsTakenHeals) {
    const std::string bytes = picture(1);
    const std::string path = name_of(bytes);
    struct Case {
        const char* name;
        std::string already_there; // bytes under the name before the upload
        bool answer_lost;
        bool healed;
    };
    for (const Case& c : {Case{"answer lost after the commit", "", true, true},
                          Case{"name taken by the same bytes", bytes, false, true},
                          Case{"name taken by other bytes", picture(2), false, false}}) {
        SCOPED_TRACE(c.name);
        const std::string name = fresh_repo();
        forge.add_repository("alice", name);
        if (!c.already_there.empty())
            forge.put_file("alice", name, path, c.already_there);
        if (c.answer_lost)
            forge.answer_after_handling(create_method(), contents_path(name, path), answer(502, "Bad Gateway"));
        auto service = open(name);
        const ContentsApiResult result = commit_picture(*service, path, bytes, message);
        EXPECT_EQ(result.ok, c.healed) << to_utf8(result.reason);
        if (c.healed) {
            EXPECT_TRUE(result.already_stored);
            EXPECT_EQ(result.address, raw_prefix(name) + path);
        } else {
            EXPECT_NE(to_utf8(result.reason).find("内容与这张图片不同"), std::string::npos) << to_utf8(result.reason);
        }
        EXPECT_EQ(forge.file("alice", name, path), c.already_there.empty() ? bytes : c.already_there);
    }
}

TEST_P(ForgeServicesTest, NothingIsWrittenWhereTheFilesWouldNotBePublicOrTheTokenIsRefused) {
    const std::string secret = fresh_repo();
    forge.add_repository("alice", secret, true);
    struct Case {
        const char* name;
        std::string repo;
        std::string token;
        const char* reason_part;
    };
    for (const Case& c :
         {Case{"private repository", secret, "tok", "私有仓库"}, Case{"wrong token", repo, "wrong", "Bad credentials"},
          Case{"unknown repository", "nowhere", "tok", "找不到这个仓库"}}) {
        SCOPED_TRACE(c.name);
        auto service = open(c.repo, c.token);
        const ContentsApiResult created = service->create_file(name_of(picture(1)), picture(1), message);
        EXPECT_FALSE(created.ok);
        EXPECT_FALSE(created.maybe_stored);
        EXPECT_NE(to_utf8(created.reason).find(c.reason_part), std::string::npos) << to_utf8(created.reason);
        const BatchCommitResult batch = service->commit_files({{name_of(picture(2)), picture(2), false, {}}}, message);
        EXPECT_FALSE(batch.ok);
        EXPECT_FALSE(batch.maybe_stored);
    }
    EXPECT_EQ(writes(), 0u);

    // A file already in the private repository can be looked up; its expiring download token is never handed on.
    forge.put_file("alice", secret, name_of(picture(1)), picture(1));
    const StoredContents stored = open(secret)->lookup(name_of(picture(1)));
    EXPECT_EQ(stored.kind, StoredContents::Kind::file);
    EXPECT_EQ(stored.download_url.find("token"), std::string::npos) << stored.download_url;
}

TEST_P(ForgeServicesTest, LookupAndDeleteGoByTheBlob) {
    const std::string bytes = picture(1);
    const std::string path = name_of(bytes);
    forge.put_file("alice", repo, path, bytes);
    auto service = open(repo);
    const StoredContents stored = service->lookup(path);
    ASSERT_EQ(stored.kind, StoredContents::Kind::file) << to_utf8(stored.reason);
    EXPECT_EQ(stored.sha, git_blob_sha1(bytes));
    EXPECT_EQ(service->lookup(name_of(picture(2))).kind, StoredContents::Kind::absent);

    const ContentsDeleteResult deleted = service->delete_file(path, stored.sha, message);
    EXPECT_EQ(deleted.kind, ContentsDeleteResult::Kind::deleted) << to_utf8(deleted.reason);
    EXPECT_FALSE(forge.file("alice", repo, path));
    const auto requests = forge.requests();
    const auto sent =
        std::find_if(requests.begin(), requests.end(), [](const auto& r) { return r.method == "DELETE"; });
    ASSERT_NE(sent, requests.end());
    EXPECT_EQ(sent->path, contents_path(repo, path));
    const nlohmann::json body = nlohmann::json::parse(sent->body);
    EXPECT_EQ(body["sha"], stored.sha);
    EXPECT_EQ(body["branch"], "main");
    EXPECT_EQ(body["message"], "上传图片");

    EXPECT_EQ(service->delete_file(path, stored.sha, message).kind, ContentsDeleteResult::Kind::absent);
}

TEST_P(ForgeServicesTest, ARateLimitedWriteWaitsAndGoesThrough) {
    auto service = open(repo);
    int n = 0;
    for (auto limit : {ForgeTestService::Limit::retry_after_429, ForgeTestService::Limit::retry_after_403,
                       ForgeTestService::Limit::exhausted_403}) {
        SCOPED_TRACE(static_cast<int>(limit));
        forge.forget_requests();
        notices.clear();
        forge.limit_next_writes(1, limit);
        const std::string bytes = picture(++n);
        const ContentsApiResult created = service->create_file(name_of(bytes), bytes, message);
        EXPECT_TRUE(created.ok) << to_utf8(created.reason);
        EXPECT_EQ(notices, std::vector<std::string>{service_wait_text()});
        EXPECT_EQ(forge.count("limited"), 1u);
        EXPECT_EQ(forge.count("create"), 2u);
    }

    // A 403 that asks for no wait is a refusal: neither a wait nor a second attempt.
    forge.forget_requests();
    notices.clear();
    const std::string bytes = picture(++n);
    forge.preset_answer(create_method(), contents_path(repo, name_of(bytes)),
                        answer(403, "Resource not accessible by integration"));
    EXPECT_FALSE(service->create_file(name_of(bytes), bytes, message).ok);
    EXPECT_TRUE(notices.empty());
    EXPECT_EQ(forge.count("create"), 1u);
}

TEST_P(ForgeServicesTest, WritesToOneRepositoryTakeTurnsAndAConflictIsTriedAgain) {
    const std::string bytes = picture(1);
    forge.preset_answer(create_method(), contents_path(repo, name_of(bytes)),
                        answer(409, "is at abc but expected def"));
    EXPECT_TRUE(open(repo)->create_file(name_of(bytes), bytes, message).ok);
    EXPECT_EQ(forge.count("create"), 2u);

    // Uploads side by side in this process never reach the forge at the same time.
    forge.set_write_delay(std::chrono::milliseconds(100));
    std::vector<std::thread> uploads;
    std::vector<int> ok(4, 0);
    for (int i = 0; i < 4; ++i)
        uploads.emplace_back(
            [&, i] { ok[i] = open(repo)->create_file(name_of(picture(10 + i)), picture(10 + i), message).ok; });
    for (auto& upload : uploads)
        upload.join();
    EXPECT_EQ(ok, std::vector<int>(4, 1));
    EXPECT_EQ(forge.count("conflict"), 0u);
    EXPECT_EQ(forge.file_names("alice", repo).size(), 5u);
}

TEST_P(ForgeServicesTest, CommitFilesPutsTheBatchInOneCommit) {
    struct Case {
        const char* name;
        bool empty_repository; // no commit yet
        bool multi_file_call;  // Gitea's, present since 1.20
        std::size_t commits;   // commits the batch may take
    };
    const std::size_t first_file_alone = github() ? 2 : 1; // GitHub's Git Data API needs a commit to build on
    for (const Case& c :
         {Case{"repository with files", false, true, 1}, Case{"empty repository", true, true, first_file_alone},
          Case{"forge without the multi-file call", false, false, 4}}) {
        if (github() && !c.multi_file_call)
            continue;
        SCOPED_TRACE(c.name);
        const std::string name = fresh_repo();
        forge.add_repository("alice", name);
        forge.set_multi_file_supported(c.multi_file_call);
        std::vector<BatchFile> files;
        std::vector<std::string> bytes{picture(1), picture(2), picture(3), picture(4)};
        if (!c.empty_repository) {
            forge.put_file("alice", name, name_of(bytes[3]), bytes[3]);
            files.push_back({name_of(bytes[3]), {}, true, git_blob_sha1(bytes[3])});
        }
        for (int i = 0; i < 3; ++i)
            files.push_back({name_of(bytes[i]), bytes[i], false, {}});
        const std::size_t commits_before = forge.commits_made("alice", name);
        forge.forget_requests();
        auto service = open(name);
        ASSERT_GE(service->batch_limit(), files.size());
        const BatchCommitResult result = service->commit_files(files, message);
        EXPECT_TRUE(result.ok) << to_utf8(result.reason);
        std::vector<std::string> expected{name_of(bytes[0]), name_of(bytes[1]), name_of(bytes[2])};
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(forge.file_names("alice", name), expected);
        for (int i = 0; i < 3; ++i)
            EXPECT_EQ(forge.file("alice", name, name_of(bytes[i])), bytes[i]);
        EXPECT_EQ(forge.commits_made("alice", name) - commits_before, c.commits);
    }
}

TEST_P(ForgeServicesTest, ClearRemovesEveryFile) {
    struct Case {
        const char* name;
        int files;
        bool multi_file_call;
    };
    for (const Case& c : {Case{"three files", 3, true}, Case{"empty repository", 0, true},
                          Case{"forge without the multi-file call", 3, false}}) {
        if (github() && !c.multi_file_call)
            continue;
        SCOPED_TRACE(c.name);
        const std::string name = fresh_repo();
        forge.add_repository("alice", name);
        forge.set_multi_file_supported(c.multi_file_call);
        for (int i = 0; i < c.files; ++i)
            forge.put_file("alice", name, name_of(picture(i)), picture(i));
        const std::size_t commits_before = forge.commits_made("alice", name);
        forge.forget_requests();

        const ClearOutcome outcome = open(name)->clear();
        EXPECT_TRUE(outcome.ok) << to_utf8(outcome.reason);
        EXPECT_TRUE(forge.file_names("alice", name).empty());
        const std::size_t commits = forge.commits_made("alice", name) - commits_before;
        if (c.files == 0)
            EXPECT_EQ(writes(), 0u);
        else if (!c.multi_file_call)
            EXPECT_EQ(commits, static_cast<std::size_t>(c.files)); // one delete each
        else
            EXPECT_EQ(commits, 1u);
    }
}

INSTANTIATE_TEST_SUITE_P(Forges, ForgeServicesTest, ::testing::Values(Flavor::github, Flavor::gitea),
                         [](const auto& info) { return info.param == Flavor::github ? "github" : "gitea"; });

} // namespace
} // namespace velpic
