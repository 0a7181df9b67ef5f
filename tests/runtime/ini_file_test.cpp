#include "runtime/ini_file.h"

#include "runtime/files.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace velpic {
namespace {

void put(const std::filesystem::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

const std::string kSample = "; settings\r\n"
                            "[General]\r\n"
                            "  Name = Value  \r\n"
                            "quoted=\"  spaced  \"\r\n"
                            "single='x'\r\n"
                            "mismatched=\"abc'\r\n"
                            "empty=\r\n"
                            "bare\r\n"
                            "\r\n"
                            "[ Spaced Section ]\r\n"
                            "Key=1\r\n"
                            "[general]\r\n"
                            "Name=second\r\n"
                            "Other=from the duplicate\r\n";

TEST(IniFile, LookupFollowsTheProfileRules) {
    test::TempDir dir;
    auto file = dir.file("a.ini");
    put(file, kSample);

    EXPECT_EQ(read_ini_value(file, "general", "NAME"), "Value");
    EXPECT_EQ(read_ini_value(file, "\t\x01  GENERAL  ", " \x1Fname  "), "Value");
    EXPECT_EQ(read_ini_value(file, "General", "quoted"), "  spaced  ");
    EXPECT_EQ(read_ini_value(file, "General", "single"), "x");
    EXPECT_EQ(read_ini_value(file, "General", "mismatched"), "\"abc'");
    EXPECT_EQ(read_ini_value(file, "General", "empty", "dflt"), "");
    EXPECT_EQ(read_ini_value(file, "General", "bare", "dflt"), "dflt");
    EXPECT_EQ(read_ini_value(file, "spaced section", "key"), "1");
    // Only the first section of a name is searched.
    EXPECT_EQ(read_ini_value(file, "General", "Other", "dflt"), "dflt");
    EXPECT_EQ(read_ini_value(file, "General", "; settings", "dflt"), "dflt");

    EXPECT_EQ(read_ini_value(file, "Missing", "Name", "dflt"), "dflt");
    EXPECT_EQ(read_ini_value(file, "General", "Missing", "dflt"), "dflt");
    EXPECT_EQ(read_ini_value(dir.file("none.ini"), "General", "Name", "dflt"), "dflt");
    EXPECT_EQ(read_ini_value(" \t" + file.string(), "General", "Name"), "Value");

    EXPECT_EQ(read_ini_value(file, "", "Name", "dflt"), "");
    EXPECT_EQ(read_ini_value(file, " \x01", "Name", "dflt"), "");
    EXPECT_EQ(read_ini_value(file, "General", "", "dflt"), "");
    EXPECT_EQ(read_ini_value("", "General", "Name", "dflt"), "");
}

TEST(IniFile, LongValuesAreCutToTheReadBuffer) {
    test::TempDir dir;
    auto file = dir.file("a.ini");
    std::string long_value(20000, 'v');
    ASSERT_TRUE(write_ini_value(file, "s", "k", long_value));
    EXPECT_EQ(read_ini_value(file, "s", "k"), long_value.substr(0, kIniReadBufferSize - 1));
    EXPECT_EQ(IniDocument::load(file).value("s", "k").size(), kIniReadBufferSize - 1);
}

TEST(IniFile, WritesKeepEveryOtherByte) {
    test::TempDir dir;
    auto file = dir.file("a.ini");
    put(file, kSample);

    ASSERT_TRUE(write_ini_value(file, "GENERAL", "name", "New"));
    std::string expected = kSample;
    expected.replace(expected.find("= Value  "), 9, "= New");
    EXPECT_EQ(read_whole_file(file), expected);

    // A new key goes after the last line of its section, before the blank line that ends it.
    ASSERT_TRUE(write_ini_value(file, "General", "Added", "1"));
    expected.insert(expected.find("bare\r\n") + 6, "Added=1\r\n");
    EXPECT_EQ(read_whole_file(file), expected);

    ASSERT_TRUE(write_ini_value(file, "New Section", "k", "v"));
    expected += "[New Section]\r\nk=v\r\n";
    EXPECT_EQ(read_whole_file(file), expected);

    ASSERT_TRUE(delete_ini_key(file, "general", "SINGLE"));
    expected.erase(expected.find("single='x'\r\n"), 12);
    EXPECT_EQ(read_whole_file(file), expected);

    // Every section of the name goes, with all its lines; the others stay.
    ASSERT_TRUE(write_ini_entry(file, "General", std::nullopt, std::nullopt));
    EXPECT_EQ(read_whole_file(file), "; settings\r\n[ Spaced Section ]\r\nKey=1\r\n[New Section]\r\nk=v\r\n");

    // Deleting what is not there changes nothing and succeeds.
    EXPECT_TRUE(delete_ini_key(file, "Nowhere", "k"));
    EXPECT_TRUE(delete_ini_section(file, "Nowhere"));
    EXPECT_EQ(read_whole_file(file), "; settings\r\n[ Spaced Section ]\r\nKey=1\r\n[New Section]\r\nk=v\r\n");
}

TEST(IniFile, WritingCreatesTheFileAndFollowsItsLineEndings) {
    test::TempDir dir;
    auto file = dir.file("new.ini");
    EXPECT_TRUE(delete_ini_section(file, "s"));
    EXPECT_FALSE(file_exists(file)) << "a deletion must not create the file";

    ASSERT_TRUE(write_ini_value(file, "s", "a", "1"));
    ASSERT_TRUE(write_ini_value(file, "s", "b", "2"));
    EXPECT_EQ(read_whole_file(file), "[s]\r\na=1\r\nb=2\r\n");

    auto unix_file = dir.file("unix.ini");
    put(unix_file, "[s]\na=1"); // no line feed at the end
    ASSERT_TRUE(write_ini_value(unix_file, "s", "b", "2"));
    ASSERT_TRUE(write_ini_value(unix_file, "t", "c", "3"));
    EXPECT_EQ(read_whole_file(unix_file), "[s]\na=1\nb=2\n[t]\nc=3\n");

    EXPECT_FALSE(write_ini_value(dir.file("no-such-dir/x.ini"), "s", "a", "1"));
}

TEST(IniFile, ReplacementLeavesNoTemporaryFilesAndNeverClobbersWhatItCannotRead) {
    test::TempDir dir;
    auto file = dir.file("a.ini");
    for (int i = 0; i < 5; ++i)
        ASSERT_TRUE(write_ini_value(file, "s", "k" + std::to_string(i), "v"));
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"a.ini", "a.ini.lock"}));

    // Something that exists but cannot be read as a file is not replaced (this case binds root as well).
    auto not_a_file = dir.file("d.ini");
    std::filesystem::create_directory(not_a_file);
    EXPECT_FALSE(write_ini_value(not_a_file, "s", "k", "v"));
    EXPECT_TRUE(std::filesystem::is_directory(not_a_file));

    if (geteuid() == 0)
        GTEST_SKIP() << "permissions do not bind root";
    std::string before = read_whole_file(file);
    std::filesystem::permissions(file, std::filesystem::perms::none);
    EXPECT_FALSE(write_ini_value(file, "s", "k0", "changed"));
    std::filesystem::permissions(file, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    EXPECT_EQ(read_whole_file(file), before);

    std::filesystem::permissions(dir.path(), std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec);
    EXPECT_FALSE(write_ini_value(file, "s", "k0", "changed"));
    std::filesystem::permissions(dir.path(), std::filesystem::perms::owner_all);
    EXPECT_EQ(read_whole_file(file), before);
}

TEST(IniFile, NamesThatWouldBreakTheFileAreRefusedAndValuesStayOnOneLine) {
    test::TempDir dir;
    auto file = dir.file("a.ini");
    ASSERT_TRUE(write_ini_value(file, "s", "a", "1"));
    std::string before = read_whole_file(file);
    EXPECT_FALSE(write_ini_value(file, "s", "a=b", "1"));
    EXPECT_FALSE(write_ini_value(file, "s", "a\nb", "1"));
    EXPECT_FALSE(write_ini_value(file, "s\r\n[t", "a", "1"));
    EXPECT_FALSE(write_ini_value(file, "x]y", "a", "1"));
    EXPECT_FALSE(write_ini_value(file, " ", "a", "1"));
    EXPECT_FALSE(write_ini_value(file, "s", "", "1"));
    EXPECT_EQ(read_whole_file(file), before);

    ASSERT_TRUE(write_ini_value(file, "s", "url", "http://x/\r\n[evil]\r\nk=v"));
    EXPECT_EQ(read_ini_value(file, "s", "url"), "http://x/");
    EXPECT_FALSE(IniDocument::load(file).has_section("evil"));
}

// A byte-order mark, lone CR line ends and junk bytes must not hide settings, and the writer must put new values
// where the reader looks for them.
TEST(IniFile, ReaderAndWriterAgreeOnDamagedAndForeignLayouts) {
    test::TempDir dir;
    auto file = dir.file("a.ini");
    put(file, "\xEF\xBB\xBF[Gitee]\r\nOwner=alice\r\n");
    EXPECT_EQ(read_ini_value(file, "Gitee", "Owner"), "alice");
    ASSERT_TRUE(write_ini_value(file, "Gitee", "Repo", "pics"));
    EXPECT_EQ(read_whole_file(file), "\xEF\xBB\xBF[Gitee]\r\nOwner=alice\r\nRepo=pics\r\n");

    put(file, "[s]\ra=1\r[t]\rb=2");
    EXPECT_EQ(read_ini_value(file, "s", "a"), "1");
    EXPECT_EQ(read_ini_value(file, "t", "b"), "2");
    EXPECT_EQ(IniDocument::load(file).section_names(), (std::vector<std::string>{"s", "t"}));

    put(file, std::string("[s]\r\na=1\r\n\0\0\x1A\xFF\r\n[t]\r\nb=2\r\n", 24));
    EXPECT_EQ(read_ini_value(file, "t", "b"), "2");
    ASSERT_TRUE(write_ini_value(file, "t", "c", "3"));
    EXPECT_EQ(read_ini_value(file, "t", "c"), "3");
    EXPECT_EQ(read_ini_value(file, "s", "a"), "1");

    // A file that ends in a bare CR: the new key gets a line of its own instead of joining the last value.
    put(file, "[s]\r\na=1\r");
    ASSERT_TRUE(write_ini_value(file, "s", "b", "2"));
    EXPECT_EQ(read_whole_file(file), "[s]\r\na=1\r\nb=2\r\n");
    EXPECT_EQ(read_ini_value(file, "s", "a"), "1");
    EXPECT_EQ(read_ini_value(file, "s", "b"), "2");
    put(file, "[s]\na=1\r");
    ASSERT_TRUE(write_ini_value(file, "t", "b", "2"));
    EXPECT_EQ(read_whole_file(file), "[s]\na=1\r\n[t]\nb=2\n");
    EXPECT_EQ(read_ini_value(file, "s", "a"), "1");
    EXPECT_EQ(read_ini_value(file, "t", "b"), "2");

    // "]" after a lone lead byte would become its trail byte and the header would never be found again.
    const std::string before = read_whole_file(file);
    EXPECT_FALSE(write_ini_value(file, "x\x95", "k", "v"));
    EXPECT_FALSE(write_ini_value(file, "x\x95 ", "k", "v"));
    EXPECT_EQ(read_whole_file(file), before);
    ASSERT_TRUE(write_ini_value(file, "x\x95\x41", "k", "v"));
    EXPECT_EQ(read_ini_value(file, "x\x95\x41", "k"), "v");
}

// A batch is one replacement of the file with exactly the bytes the single writes would leave.
TEST(IniFile, BatchWritesReplaceTheFileOnceWithTheSameBytes) {
    test::TempDir dir;
    auto single = dir.file("single.ini");
    auto batch = dir.file("batch.ini");
    put(single, kSample);
    put(batch, kSample);
    ASSERT_TRUE(write_ini_value(single, "General", "Name", "x"));
    ASSERT_TRUE(write_ini_value(single, "New", "a", "1"));
    ASSERT_TRUE(delete_ini_key(single, "general", "single"));
    ASSERT_TRUE(write_ini_value(single, "New", "b", "2"));
    ASSERT_TRUE(write_ini_value(single, "New", "a", "3"));

    struct stat old_status {};
    ASSERT_EQ(::stat(batch.c_str(), &old_status), 0);
    const IniEdit edits[] = {{"General", "Name", "x"},
                             {"New", "a", "1"},
                             {"general", "single", std::nullopt},
                             {"New", "b", "2"},
                             {"New", "a", "3"}};
    ASSERT_TRUE(write_ini_values(batch, edits));
    EXPECT_EQ(read_whole_file(batch), read_whole_file(single));
    struct stat new_status {};
    ASSERT_EQ(::stat(batch.c_str(), &new_status), 0);
    EXPECT_NE(new_status.st_ino, old_status.st_ino) << "replaced through a new file, never written in place";

    // One refused edit writes nothing at all.
    const IniEdit refused[] = {{"General", "Name", "y"}, {"General", "bad=key", "1"}};
    EXPECT_FALSE(write_ini_values(batch, refused));
    EXPECT_EQ(read_whole_file(batch), read_whole_file(single));
    EXPECT_TRUE(write_ini_values(dir.file("none.ini"), {}));
    EXPECT_FALSE(file_exists(dir.file("none.ini")));
}

// A killed writer leaves its temporary copy; the next write of that file removes it, unless its process still runs.
TEST(IniFile, WritesRemoveTemporaryFilesOfWritersThatAreGone) {
    test::TempDir dir;
    auto file = dir.file("a.ini");
    pid_t gone = fork();
    ASSERT_GE(gone, 0);
    if (gone == 0)
        _exit(0);
    ASSERT_EQ(waitpid(gone, nullptr, 0), gone);
    pid_t running = fork();
    ASSERT_GE(running, 0);
    if (running == 0) {
        pause();
        _exit(0);
    }
    const std::string dead_temp = "a.ini.tmp." + std::to_string(gone) + ".0";
    const std::string own_temp = "a.ini.tmp." + std::to_string(getpid()) + ".7";
    const std::string live_temp = "a.ini.tmp." + std::to_string(running) + ".1";
    for (const std::string& name : {dead_temp, own_temp, live_temp, std::string("b.ini.tmp.1.0"),
                                    std::string("a.ini.tmp.x.0"), std::string("a.ini.tmp.0.0")})
        put(dir.file(name), "[s]\r\nk=old\r\n");

    ASSERT_TRUE(write_ini_value(file, "s", "k", "v"));
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    std::vector<std::string> expected = {"a.ini",         "a.ini.lock", "a.ini.tmp.0.0",
                                         "a.ini.tmp.x.0", live_temp,    "b.ini.tmp.1.0"};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(names, expected);

    // Appending removes them as well, once their process has ended.
    kill(running, SIGKILL);
    ASSERT_EQ(waitpid(running, nullptr, 0), running);
    const IniKeyValue entries[] = {{"k", "v"}};
    ASSERT_TRUE(append_ini_section(file, "t", entries));
    EXPECT_FALSE(file_exists(dir.file(live_temp)));
    EXPECT_EQ(read_ini_value(file, "t", "k"), "v");
}

TEST(IniFile, DoubleByteNamesAndValues) {
    test::TempDir dir;
    auto file = dir.file("gbk.ini");
    const std::string section = "\xB1\xBE\xB5\xD8\x95]x";   // a "]" that is a trail byte stays inside the name
    const std::string value = "\xC4\xEA\xD4\xC2 \x95| end"; // GBK bytes, kept as they are
    ASSERT_TRUE(write_ini_value(file, section, "ImgUrl", value));
    EXPECT_EQ(read_ini_value(file, section, "imgurl"), value);
    EXPECT_EQ(IniDocument::load(file).section_names(), std::vector<std::string>{section});

    // Letter case folds for ASCII only: trail bytes that look like letters must match exactly.
    ASSERT_TRUE(write_ini_value(file, "\x95\x41", "k", "upper"));
    EXPECT_EQ(read_ini_value(file, "\x95\x61", "k", "none"), "none");
    EXPECT_EQ(read_ini_value(file, "\x95\x41", "K"), "upper");
}

TEST(IniFile, DocumentAnswersLikeSingleLookups) {
    test::TempDir dir;
    auto file = dir.file("a.ini");
    put(file, kSample);
    IniDocument document = IniDocument::load(file);
    for (const char* section : {"general", " GENERAL ", "Spaced Section", "missing", ""})
        for (const char* key : {"name", "quoted", "single", "mismatched", "empty", "bare", "key", "Other", ""})
            EXPECT_EQ(document.value(section, key, "d"), read_ini_value(file, section, key, "d"))
                << section << "/" << key;
    EXPECT_EQ(document.section_names(), (std::vector<std::string>{"General", "Spaced Section"}));
    EXPECT_TRUE(document.has_section("spaced section"));
    EXPECT_TRUE(IniDocument::load(dir.file("none.ini")).section_names().empty());
}

// Writers in several threads and one forked process, each with its own keys.
TEST(IniFile, ConcurrentWritersLoseNothing) {
    test::TempDir dir;
    auto file = dir.file("shared.ini");
    constexpr int kPerWriter = 40;
    auto write_keys = [&](const std::string& prefix) {
        bool ok = true;
        for (int i = 0; i < kPerWriter; ++i)
            ok = write_ini_value(file, "s", prefix + std::to_string(i), std::to_string(i)) && ok;
        return ok;
    };

    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0)
        _exit(write_keys("p") ? 0 : 1);
    bool thread_ok[2] = {false, false};
    std::thread first([&] { thread_ok[0] = write_keys("a"); });
    std::thread second([&] { thread_ok[1] = write_keys("b"); });
    first.join();
    second.join();
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_TRUE(thread_ok[0] && thread_ok[1]);

    IniDocument document = IniDocument::load(file);
    for (const char* prefix : {"a", "b", "p"})
        for (int i = 0; i < kPerWriter; ++i)
            EXPECT_EQ(document.value("s", prefix + std::to_string(i)), std::to_string(i)) << prefix << i;
    EXPECT_EQ(document.section_names().size(), 1u);
}

// A read followed by a dependent write is one step while the lock is held, also across processes.
TEST(IniFile, LockMakesReadModifyWriteAtomic) {
    test::TempDir dir;
    auto file = dir.file("counter.ini");
    constexpr int kRounds = 25;
    auto increment = [&] {
        for (int i = 0; i < kRounds; ++i) {
            IniFileLock lock(file);
            int count = std::stoi(read_ini_value(file, "c", "n", "0"));
            write_ini_value(file, "c", "n", std::to_string(count + 1));
        }
    };
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        increment();
        _exit(0);
    }
    std::thread first(increment);
    std::thread second(increment);
    first.join();
    second.join();
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_EQ(read_ini_value(file, "c", "n"), std::to_string(3 * kRounds));
}

} // namespace
} // namespace velpic
