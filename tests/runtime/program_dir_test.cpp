#include "runtime/program_dir.h"

#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <optional>
#include <pwd.h>
#include <string>
#include <unistd.h>

namespace velpic {
namespace {

namespace fs = std::filesystem;

// Sets or clears an environment variable for one scope and puts the old value back.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name))
            old_ = old;
        value ? setenv(name, value, 1) : unsetenv(name);
    }
    ~ScopedEnv() { old_ ? setenv(name_, old_->c_str(), 1) : unsetenv(name_); }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    const char* name_;
    std::optional<std::string> old_;
};

fs::perms mode_of(const fs::path& path) {
    return fs::status(path).permissions() & fs::perms::all;
}

TEST(ProgramDir, InstalledExecutableKeepsItsFilesInTheUserConfigurationDirectory) {
    test::TempDir dir;
    const fs::path bin = dir.path() / "prefix" / "bin";
    const fs::path entry = dir.path() / "prefix" / "share" / "applications" / "io.github.velpic.Velpic.desktop";
    fs::create_directories(bin);
    ScopedEnv xdg("XDG_CONFIG_HOME", (dir.path() / "config").c_str());
    ScopedEnv home("HOME", (dir.path() / "home").c_str());

    EXPECT_FALSE(runs_from_install_prefix(bin)) << "a bin directory of some other prefix";
    EXPECT_EQ(default_program_dir(bin), bin);
    fs::create_directories(entry);
    EXPECT_FALSE(runs_from_install_prefix(bin)) << "a directory where the desktop entry belongs is no entry";
    fs::remove(entry);
    std::ofstream(entry) << "[Desktop Entry]\n";

    ASSERT_TRUE(runs_from_install_prefix(bin));
    EXPECT_EQ(default_program_dir(bin), dir.path() / "config" / "velpic");
    EXPECT_EQ(default_program_dir(bin.string() + "/"), dir.path() / "config" / "velpic");
    {
        ScopedEnv relative("XDG_CONFIG_HOME", "config");
        EXPECT_EQ(default_program_dir(bin), dir.path() / "home" / ".config" / "velpic") << "relative: ignored";
    }
    {
        ScopedEnv unset("XDG_CONFIG_HOME", nullptr);
        EXPECT_EQ(default_program_dir(bin), dir.path() / "home" / ".config" / "velpic");
        ScopedEnv no_home("HOME", nullptr);
        const passwd* account = getpwuid(getuid());
        ASSERT_NE(account, nullptr);
        EXPECT_EQ(default_program_dir(bin), fs::path(account->pw_dir) / ".config" / "velpic");
    }

    // A build tree has no desktop entry beside its executables, wherever the tree lies.
    const fs::path build = dir.path() / "prefix" / "build" / "src" / "app";
    fs::create_directories(build);
    EXPECT_FALSE(runs_from_install_prefix(build));
    EXPECT_EQ(default_program_dir(build), build);
    EXPECT_EQ(default_program_dir(executable_dir()), fs::read_symlink("/proc/self/exe").parent_path());
}

TEST(ProgramDir, CreatesMissingDirectoriesPrivateAndLeavesExistingOnesAlone) {
    test::TempDir dir;
    const mode_t old_mask = umask(022);
    std::error_code error;

    const fs::path nested = dir.path() / "config" / "velpic";
    ASSERT_TRUE(create_private_directories(nested, error)) << error.message();
    EXPECT_EQ(mode_of(dir.path() / "config"), fs::perms::owner_all);
    EXPECT_EQ(mode_of(nested), fs::perms::owner_all) << "the settings hold the access token";
    EXPECT_TRUE(create_private_directories(nested, error)) << "existing: nothing to do";

    const fs::path shared = dir.path() / "shared";
    fs::create_directory(shared);
    fs::permissions(shared, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                fs::perms::others_read | fs::perms::others_exec);
    ASSERT_TRUE(create_private_directories(shared / "数据", error));
    EXPECT_EQ(mode_of(shared / "数据"), fs::perms::owner_all);
    EXPECT_EQ(mode_of(shared), fs::perms::all & ~(fs::perms::group_write | fs::perms::others_write))
        << "a directory the user made keeps the mode the user gave it";

    std::ofstream(dir.file("file")) << "kept";
    EXPECT_FALSE(create_private_directories(dir.file("file"), error));
    EXPECT_TRUE(error);
    EXPECT_FALSE(create_private_directories(dir.file("file") / "below", error));
    EXPECT_TRUE(error);
    EXPECT_TRUE(fs::is_regular_file(dir.file("file")));

    set_program_dir(dir.path() / "from" / "arguments");
    ASSERT_TRUE(create_program_dir(error)) << error.message();
    EXPECT_EQ(mode_of(dir.path() / "from" / "arguments"), fs::perms::owner_all);
    umask(old_mask);
}

} // namespace
} // namespace velpic
