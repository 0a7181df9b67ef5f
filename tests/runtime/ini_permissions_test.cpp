// The files of the program directory are private whichever writer makes them, and older open ones close up.
#include "runtime/ini_file.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <string>
#include <sys/stat.h>

using namespace velpic;

namespace {

mode_t mode_of(const std::filesystem::path& file) {
    struct stat status {};
    EXPECT_EQ(::stat(file.c_str(), &status), 0) << file;
    return status.st_mode & 07777;
}

// The umask most desktops start programs with, which leaves new files readable by every local user.
class UsualUmask {
public:
    UsualUmask() : old_(::umask(022)) {}
    ~UsualUmask() { ::umask(old_); }
    UsualUmask(const UsualUmask&) = delete;
    UsualUmask& operator=(const UsualUmask&) = delete;

private:
    mode_t old_;
};

struct Writer {
    const char* name;
    std::function<bool(const std::filesystem::path&)> write;
};

const Writer kWriters[] = {
    {"write_ini_value", [](const std::filesystem::path& f) { return write_ini_value(f, "s", "k", "v"); }},
    {"append_ini_section",
     [](const std::filesystem::path& f) {
         const IniKeyValue entries[] = {{"ImgMd5", "0123"}};
         return append_ini_section(f, "0123", entries);
     }},
    {"rewrite_ini_file",
     [](const std::filesystem::path& f) {
         return rewrite_ini_file(f, [](std::string& bytes) {
             bytes += "line\n";
             return true;
         });
     }},
    {"delete_ini_key", [](const std::filesystem::path& f) { return delete_ini_key(f, "s", "k"); }},
};

TEST(IniPermissions, EveryWriterCreatesItsFileAndLockForTheOwnerOnly) {
    const UsualUmask umask;
    for (const Writer& writer : kWriters) {
        if (std::string(writer.name) == "delete_ini_key")
            continue; // nothing to create
        test::TempDir dir;
        const std::filesystem::path file = dir.path() / "本地记录.ini";
        ASSERT_TRUE(writer.write(file)) << writer.name;
        EXPECT_EQ(mode_of(file), 0600u) << writer.name;
        for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
            EXPECT_EQ(mode_of(entry.path()) & 077, 0u) << writer.name << " " << entry.path();
    }
}

TEST(IniPermissions, AFileOthersCouldReadIsTightenedByItsNextWriteKeepingTheOwnersBits) {
    const UsualUmask umask;
    struct Case {
        mode_t before;
        mode_t after;
    };
    const Case cases[] = {{0644, 0600}, {0666, 0600}, {0640, 0600}, {0604, 0600}, {0600, 0600}, {0744, 0700}};
    for (const Writer& writer : kWriters) {
        for (const Case& c : cases) {
            test::TempDir dir;
            const std::filesystem::path file = dir.path() / "链接状态.txt";
            std::ofstream(file) << "[s]\nk=old\n";
            ASSERT_EQ(::chmod(file.c_str(), c.before), 0);
            ASSERT_TRUE(writer.write(file)) << writer.name;
            EXPECT_EQ(mode_of(file), c.after) << writer.name << " from " << std::oct << c.before;
        }
    }
}

} // namespace
