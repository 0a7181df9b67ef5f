// Every picture command on every hosting service, each against its stand-in: upload with dedupe and healing after a
// lost answer, an address prefix, delete, restore, backup, check, publish and clearing the repository.
#include "cli/command_runner.h"

#include "records/local_record_file.h"
#include "runtime/files.h"
#include "runtime/md5.h"
#include "runtime/program_dir.h"
#include "settings/app_state.h"
#include "settings/settings_store.h"
#include "support/forge_test_service.h"
#include "support/temp_dir.h"
#include "support/test_service.h"
#include "upload/hosting_service.h"
#include "upload/picture_archive.h"

#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <optional>

namespace velpic {
namespace {

using test::run_command;

// One service's stand-in, as the tests below need it.
class StandIn {
public:
    virtual ~StandIn() = default;
    virtual ServiceKind service() const = 0;
    virtual std::string base() const = 0;
    // The raw-file address of a file of alice/pics.
    virtual std::string address(const std::string& name) const = 0;
    virtual std::optional<std::string> file(const std::string& name) const = 0;
    virtual void put_file(const std::string& name, const std::string& bytes) = 0;
    // The next create of name is done, but its answer never arrives in one piece.
    virtual void lose_create_answer(const std::string& name) = 0;
    virtual std::size_t files() const = 0;
};

class GiteeStandIn final : public StandIn {
public:
    ServiceKind service() const override { return ServiceKind::gitee; }
    std::string base() const override { return stand_in.base(); }
    std::string address(const std::string& name) const override { return stand_in.download_url("alice", "pics", name); }
    std::optional<std::string> file(const std::string& name) const override {
        const auto stored = stand_in.file("alice", "pics", name);
        return stored ? std::optional<std::string>(stored->bytes) : std::nullopt;
    }
    void put_file(const std::string& name, const std::string& bytes) override {
        stand_in.put_file("alice", "pics", name, bytes);
    }
    void lose_create_answer(const std::string& name) override {
        stand_in.preset_delivery("POST", "/api/v5/repos/alice/pics/contents/" + name, test::Delivery::dropped());
    }
    std::size_t files() const override { return stand_in.file_count("alice", "pics"); }

    test::TestService stand_in;
};

class ForgeStandIn final : public StandIn {
public:
    explicit ForgeStandIn(test::ForgeTestService::Flavor flavor) : stand_in(flavor) {
        stand_in.add_repository("alice", "pics");
    }
    bool github() const { return stand_in.flavor() == test::ForgeTestService::Flavor::github; }
    ServiceKind service() const override { return github() ? ServiceKind::github : ServiceKind::gitea; }
    std::string base() const override { return stand_in.base(); }
    std::string address(const std::string& name) const override {
        return stand_in.base() + (github() ? "alice/pics/main/" : "alice/pics/raw/branch/main/") + name;
    }
    std::optional<std::string> file(const std::string& name) const override {
        return stand_in.file("alice", "pics", name);
    }
    void put_file(const std::string& name, const std::string& bytes) override {
        stand_in.put_file("alice", "pics", name, bytes);
    }
    void lose_create_answer(const std::string& name) override {
        test::ServiceAnswer lost;
        lost.status = 502;
        lost.body = "<html>Bad Gateway</html>";
        stand_in.answer_after_handling(
            github() ? "PUT" : "POST",
            (github() ? "/repos" : "/api/v1/repos") + std::string("/alice/pics/contents/") + name, lost);
    }
    std::size_t files() const override { return stand_in.file_names("alice", "pics").size(); }

    test::ForgeTestService stand_in;
};

class ServiceCommandsTest : public ::testing::TestWithParam<ServiceKind> {
protected:
    void SetUp() override {
        switch (GetParam()) {
        case ServiceKind::gitee:
            stand_in = std::make_unique<GiteeStandIn>();
            break;
        case ServiceKind::github:
            stand_in = std::make_unique<ForgeStandIn>(test::ForgeTestService::Flavor::github);
            break;
        case ServiceKind::gitea:
            stand_in = std::make_unique<ForgeStandIn>(test::ForgeTestService::Flavor::gitea);
            break;
        }
        unsetenv("VELPIC_SERVICE_BASE");
        setenv("VELPIC_RAW_BASE", stand_in->base().c_str(), 1);
        set_program_dir(dir.path());
        save_profile({});
    }
    void TearDown() override { unsetenv("VELPIC_RAW_BASE"); }

    void save_profile(const std::string& address_prefix) const {
        SettingsPage page;
        page.service = page.active_service = GetParam();
        page.owner = "alice";
        page.repo = "pics";
        page.access_token = "tok";
        page.service_url = stand_in->base();
        page.address_prefix = address_prefix;
        AppState state;
        ASSERT_TRUE(SettingsStore(settings_file_path()).save(page, false, state).saved);
    }

    // `velpic upload` of bytes as a file; the address printed.
    std::string upload(const std::string& bytes, int expected_status = 0) {
        const std::filesystem::path file = dir.file(md5_hex(bytes).substr(0, 6) + ".png");
        std::ofstream(file, std::ios::binary) << bytes;
        const test::CommandOutcome outcome = run_command({"upload", file.string()});
        EXPECT_EQ(outcome.status, expected_status) << outcome.err;
        return outcome.out.substr(0, outcome.out.find('\n'));
    }
    static std::string name_of(const std::string& bytes) { return md5_hex(bytes) + ".png"; }
    static std::string picture(const std::string& text) { return std::string("\x89PNG\r\n\x1a\n", 8) + text; }

    std::unique_ptr<StandIn> stand_in;
    test::TempDir dir;
};

std::string service_test_name(const ::testing::TestParamInfo<ServiceKind>& info) {
    return std::string(service_name(info.param));
}

} // namespace

INSTANTIATE_TEST_SUITE_P(EveryService, ServiceCommandsTest,
                         ::testing::Values(ServiceKind::gitee, ServiceKind::github, ServiceKind::gitea),
                         service_test_name);

TEST_P(ServiceCommandsTest, UploadsOnceHealsALostAnswerAndRefusesAnotherFileUnderItsName) {
    const std::string a = picture("a"), b = picture("b"), c = picture("c");
    const std::string address = upload(a);
    EXPECT_EQ(address, stand_in->address(name_of(a)));
    EXPECT_EQ(stand_in->file(name_of(a)), a);
    EXPECT_EQ(upload(a), address) << "a known digest is not sent again";
    // The repository's default branch, asked once, is saved with the profile.
    EXPECT_EQ(SettingsStore(settings_file_path()).read_profile(GetParam()).branch,
              GetParam() == ServiceKind::gitee ? "" : "main");
    EXPECT_EQ(stand_in->files(), 1u);

    // The commit went through but its answer was lost: the upload finds the same bytes there and takes them.
    stand_in->lose_create_answer(name_of(b));
    EXPECT_EQ(upload(b), stand_in->address(name_of(b)));
    EXPECT_EQ(stand_in->file(name_of(b)), b);
    EXPECT_EQ(find_local_record(local_record_file_path(), md5_hex(b)), stand_in->address(name_of(b)));

    stand_in->put_file(name_of(c), "other bytes");
    upload(c, 1);
    EXPECT_FALSE(find_local_record(local_record_file_path(), md5_hex(c)));
    EXPECT_EQ(stand_in->file(name_of(c)), "other bytes");
}

TEST_P(ServiceCommandsTest, AnAddressPrefixIsWhatTheUserGetsWhileTheServiceDecides) {
    save_profile("https://img.example.com");
    const std::string a = picture("prefixed");
    EXPECT_EQ(upload(a), "https://img.example.com/" + name_of(a));
    EXPECT_EQ(stand_in->file(name_of(a)), a);
    EXPECT_EQ(upload(a), "https://img.example.com/" + name_of(a));
    // Delete takes the prefixed address as this repository's.
    const test::CommandOutcome deleted = run_command({"delete", "https://img.example.com/" + name_of(a)});
    EXPECT_EQ(deleted.status, 0) << deleted.err;
    EXPECT_FALSE(stand_in->file(name_of(a)));
}

TEST_P(ServiceCommandsTest, DeleteRestoreBackupAndCheckWork) {
    const std::string a = picture("kept"), b = picture("lost"), c = picture("gone");
    upload(a);
    upload(b);
    upload(c);

    const test::CommandOutcome deleted = run_command({"delete", md5_hex(c)});
    EXPECT_EQ(deleted.status, 0) << deleted.err;
    EXPECT_FALSE(stand_in->file(name_of(c)));
    EXPECT_FALSE(find_local_record(local_record_file_path(), md5_hex(c)));

    // b disappears at the service behind Velpic's back (deleted through the API); restore brings the same address
    // back from the archive.
    {
        RepositoryProfile profile = SettingsStore(settings_file_path()).read_profile(GetParam());
        const std::unique_ptr<HostingService> service = open_hosting_service(profile);
        const StoredContents stored = service->lookup(name_of(b));
        ASSERT_EQ(stored.kind, StoredContents::Kind::file) << stored.reason;
        ASSERT_EQ(service->delete_file(name_of(b), stored.sha, "lost").kind, ContentsDeleteResult::Kind::deleted);
    }
    const test::CommandOutcome checked = run_command({"check"});
    EXPECT_EQ(checked.status, 1);
    EXPECT_NE(checked.out.find("已失效"), std::string::npos) << checked.out;
    const test::CommandOutcome restored = run_command({"restore"});
    EXPECT_EQ(restored.status, 0) << restored.err;
    EXPECT_EQ(stand_in->file(name_of(b)), b);

    ASSERT_TRUE(remove_archive_copy(dir.path(), md5_hex(a)));
    const test::CommandOutcome backed_up = run_command({"backup"});
    EXPECT_EQ(backed_up.status, 0) << backed_up.err;
    EXPECT_TRUE(has_verified_copy(dir.path(), md5_hex(a)));
    const test::CommandOutcome deep = run_command({"check", "--deep"});
    EXPECT_EQ(deep.status, 0) << deep.out << deep.err;
}

TEST_P(ServiceCommandsTest, PublishRewritesANoteOnceAndClearingEmptiesTheRepository) {
    const std::string a = picture("in a note");
    std::ofstream(dir.file("shot.png"), std::ios::binary) << a;
    std::ofstream(dir.file("note.md"), std::ios::binary) << "# Note\n\n![shot](shot.png)\n";
    const test::CommandOutcome published = run_command({"publish", dir.file("note.md").string()});
    EXPECT_EQ(published.status, 0) << published.err;
    EXPECT_EQ(read_whole_file(dir.file("note.md")), "# Note\n\n![shot](" + stand_in->address(name_of(a)) + ")\n");
    const test::CommandOutcome again = run_command({"publish", dir.file("note.md").string()});
    EXPECT_EQ(again.status, 0);
    EXPECT_EQ(read_whole_file(dir.file("note.md")), "# Note\n\n![shot](" + stand_in->address(name_of(a)) + ")\n");

    upload(picture("second"));
    ASSERT_EQ(stand_in->files(), 2u);
    const std::unique_ptr<HostingService> service =
        open_hosting_service(SettingsStore(settings_file_path()).read_profile(GetParam()));
    const ClearOutcome cleared = service->clear();
    EXPECT_TRUE(cleared.ok) << cleared.reason;
    EXPECT_EQ(stand_in->files(), 0u);
}

} // namespace velpic
