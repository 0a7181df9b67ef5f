// `velpic move` from one hosting service to another, as the program itself runs it: gitee → github → gitea →
// gitee with kills placed by the move's own progress lines, a move into a service that takes batches, and one that
// has to wait out the service's rate limit.
#include "support/child_process.h"

#include "records/local_record_file.h"
#include "runtime/md5.h"
#include "settings/app_state.h"
#include "settings/settings_store.h"
#include "support/forge_test_service.h"
#include "support/temp_dir.h"
#include "support/test_service.h"
#include "upload/picture_archive.h"
#include "upload/upload_picture.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <optional>
#include <random>
#include <string>
#include <vector>

using namespace velpic;
using namespace velpic::test;

namespace {

const std::string kProgram = VELPIC_EXECUTABLE;

std::string picture(int i) {
    return std::string("\x89PNG\r\n\x1a\n", 8) + "moving picture " + std::to_string(i);
}

std::string name_of(const std::string& bytes) {
    return md5_hex(bytes) + ".png";
}

// Where a move goes, and what its pictures' addresses and files look like there.
struct Hop {
    std::string to; // the value of --to
    ServiceKind service;
    std::function<std::string(const std::string& name)> address;
    std::function<std::optional<std::string>(const std::string& name)> file;
};

class ServiceMoveTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(gitee.running() && github.running() && gitea.running());
        github.add_repository("alice", "pics");
        gitea.add_repository("alice", "pics");
        // Every profile names its own stand-in: the service address of the one in use is not replaced here.
        unsetenv("VELPIC_SERVICE_BASE");
        setenv("VELPIC_RAW_BASE", github.base().c_str(), 1);
        save_profile(ServiceKind::github, github.base());
        save_profile(ServiceKind::gitea, gitea.base());
        save_profile(ServiceKind::gitee, gitee.base()); // the one in use at the start
    }
    void TearDown() override { unsetenv("VELPIC_RAW_BASE"); }

    void save_profile(ServiceKind service, const std::string& url) const {
        SettingsPage page;
        page.service = page.active_service = service;
        page.owner = "alice";
        page.repo = "pics";
        page.access_token = "tok";
        page.service_url = url;
        AppState state;
        ASSERT_TRUE(store().save(page, false, state).saved);
    }
    SettingsStore store() const { return SettingsStore(dir.path() / u8"配置.ini"); }

    // count pictures uploaded into the service in use; every tenth one only at its address, not in the archive.
    std::vector<std::string> upload_pictures(int count) const {
        UploadContext context;
        static_cast<RepositoryProfile&>(context) = store().read_profile(store().active_service());
        context.record_mode = "local";
        context.program_dir = dir.path();
        CollectingReporter reporter;
        std::vector<std::string> pictures;
        for (int i = 0; i < count; ++i) {
            pictures.push_back(picture(i));
            EXPECT_TRUE(upload_picture(context, ".png", pictures.back(), reporter).ok) << i;
            if (i % 10 == 9) {
                EXPECT_TRUE(remove_archive_copy(dir.path(), md5_hex(pictures.back())));
            }
        }
        return pictures;
    }

    std::optional<std::string> record_of(const std::string& bytes) const {
        return find_local_record(local_record_file_path(dir.path()), md5_hex(bytes));
    }

    ChildProcess move_to(const std::string& to) const {
        return ChildProcess(kProgram, {"--data-dir", dir.path().string(), "move", "--to", to},
                            {"VELPIC_RAW_BASE=" + github.base(), "VELPIC_SERVICE_BASE"});
    }

    Hop gitee_hop(const std::string& owner, const std::string& repo) {
        return {"gitee:" + owner + "/" + repo, ServiceKind::gitee,
                [=, this](const std::string& name) { return gitee.download_url(owner, repo, name); },
                [=, this](const std::string& name) -> std::optional<std::string> {
                    const auto file = gitee.file(owner, repo, name);
                    return file ? std::optional<std::string>(file->bytes) : std::nullopt;
                }};
    }
    Hop github_hop() {
        return {"github:alice/pics", ServiceKind::github,
                [this](const std::string& name) { return github.base() + "alice/pics/main/" + name; },
                [this](const std::string& name) { return github.file("alice", "pics", name); }};
    }
    Hop gitea_hop() {
        return {"gitea:alice/pics", ServiceKind::gitea,
                [this](const std::string& name) { return gitea.base() + "alice/pics/raw/branch/main/" + name; },
                [this](const std::string& name) { return gitea.file("alice", "pics", name); }};
    }

    TestService gitee;
    ForgeTestService github{ForgeTestService::Flavor::github};
    ForgeTestService gitea{ForgeTestService::Flavor::gitea};
    TempDir dir;
};

} // namespace

TEST_F(ServiceMoveTest, AMoveAcrossEveryServiceSurvivesKillsAndEndsByteIdentical) {
    const std::vector<std::string> pictures = upload_pictures(200);
    Hop from = gitee_hop("alice", "pics");
    std::mt19937 random(24);
    int kills_inside = 0;
    for (const Hop& hop : {github_hop(), gitea_hop(), gitee_hop("bob", "pics2")}) {
        for (int kill = 0; kill < 4; ++kill) {
            ChildProcess mover = move_to(hop.to);
            // Kills land by the move's own progress, not by a time that a busy machine would stretch: at its start,
            // or right after the k-th picture was decided.
            const int k = static_cast<int>(random() % 200);
            const std::string marker = k == 0 ? std::string("搬家到") : "[" + std::to_string(k) + "/";
            ASSERT_TRUE(mover.wait_for_error_line(marker)) << hop.to << " " << marker << "\n" << mover.err();
            kills_inside += mover.kill_after(std::chrono::microseconds(random() % 3000)) ? 0 : 1;
            for (const std::string& bytes : pictures) {
                const std::optional<std::string> record = record_of(bytes);
                ASSERT_TRUE(record) << hop.to << ": a record was lost";
                if (*record == hop.address(name_of(bytes)))
                    ASSERT_EQ(hop.file(name_of(bytes)), bytes) << hop.to << ": a record went ahead of its file";
                else
                    ASSERT_EQ(*record, from.address(name_of(bytes))) << hop.to;
            }
        }
        ChildProcess rest = move_to(hop.to);
        ASSERT_EQ(rest.wait_for_exit(std::chrono::seconds(120)), 0) << hop.to << "\n" << rest.err();
        for (const std::string& bytes : pictures) {
            EXPECT_EQ(record_of(bytes), hop.address(name_of(bytes))) << hop.to;
            EXPECT_EQ(hop.file(name_of(bytes)), bytes) << hop.to;
        }
        EXPECT_EQ(store().active_service(), hop.service) << hop.to;
        EXPECT_EQ(store().read_profile(hop.service).branch, hop.service == ServiceKind::gitee ? "" : "main");
        from = hop;
    }
    EXPECT_GE(kills_inside, 4) << "most kills must land inside a move";
}

TEST_F(ServiceMoveTest, BatchedMovesMakeFewCommitsAndWaitOutTheRateLimit) {
    const std::vector<std::string> pictures = upload_pictures(120);
    github.limit_next_writes(3, ForgeTestService::Limit::retry_after_429);
    ChildProcess to_github = move_to("github:alice/pics");
    ASSERT_EQ(to_github.wait_for_exit(std::chrono::seconds(60)), 0) << to_github.err();
    EXPECT_NE(to_github.err().find("服务器要求稍候"), std::string::npos) << to_github.err();
    EXPECT_LE(github.commits_made("alice", "pics"), 3u) << "at most 20 commits for 1,000 pictures";

    gitea.limit_next_writes(1, ForgeTestService::Limit::exhausted_403);
    ChildProcess to_gitea = move_to("gitea:alice/pics");
    ASSERT_EQ(to_gitea.wait_for_exit(std::chrono::seconds(60)), 0) << to_gitea.err();
    EXPECT_LE(gitea.commits_made("alice", "pics"), 3u);
    for (const std::string& bytes : pictures) {
        EXPECT_EQ(gitea.file("alice", "pics", name_of(bytes)), bytes);
        EXPECT_EQ(record_of(bytes), gitea_hop().address(name_of(bytes)));
    }
}
