#include "records/local_record_file.h"

#include "runtime/files.h"
#include "runtime/program_dir.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace velpic {
namespace {

using Names = std::vector<std::string>;

void put(const std::filesystem::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

Names listed(const std::filesystem::path& path) {
    Names names;
    list_ini_sections(path, names);
    return names;
}

UploadRecord record(const std::string& digest, const std::string& url) {
    return UploadRecord{digest, "1700000000123", "", url, ".png"};
}

TEST(ListIniSections, HeaderLineRules) {
    test::TempDir dir;
    auto file = dir.file("r.ini");
    put(file, "[aaa]\r\n"
              "ImgMd5=aaa\r\n"
              " [blank]\r\n" // a header must start in the first byte
              "[noclose\r\n" // no "]": not a header
              "[two]]x]\r\n" // up to the first "]"
              "key=[x]\r\n"
              "[\x95]]\n" // the first "]" is the trail byte of a double-byte character
              "[\x95]\n"  // ... so this line has none at all
              "\r\n"
              "[]\r\n"
              "[a|b]\r\n"    // "|" separates names
              "[\x95|c]\r\n" // ... but not as the trail byte of a double-byte character
              "[AAA]\r\n"
              "[aaa]\r\n"); // duplicates are listed twice
    EXPECT_EQ(listed(file), (Names{"aaa", "two", "\x95]", "", "a", "b", "\x95|c", "AAA", "aaa"}));

    put(file, "ImgMd5=x\r\nImgUrl=y\r\n");
    EXPECT_EQ(listed(file), Names{});

    // An empty name vanishes when it comes first or last.
    put(file, "[]\n[a]\n[]\n");
    EXPECT_EQ(listed(file), Names{"a"});
    put(file, "[a]\n[]\n[]\n[b]");
    EXPECT_EQ(listed(file), (Names{"a", "", "", "b"}));

    put(file, std::string("[x]\n\0[y]\n", 9));
    EXPECT_EQ(listed(file), Names{"x"});
    put(file, "[x]\n\x1A[y]\n");
    EXPECT_EQ(listed(file), Names{"x"});
}

TEST(ListIniSections, MissingOrUnreadableFile) {
    test::TempDir dir;
    Names names{"kept"};
    list_ini_sections(dir.file("missing.ini"), names);
    EXPECT_EQ(names, Names{"kept"}) << "no file: the caller's list stays";

    auto file = dir.file("locked.ini");
    put(file, "[a]\n");
    std::filesystem::permissions(file, std::filesystem::perms::none);
    if (geteuid() != 0) { // root reads anything
        list_ini_sections(file, names);
        EXPECT_EQ(names, Names{}) << "an unreadable file reads as empty";
    }
}

TEST(LocalRecordFile, WriteLookupReadAllRemoveAll) {
    test::TempDir dir;
    auto file = dir.file("本地记录.ini");
    const std::string digest1 = "0123456789abcdef0123456789abcdef";
    const std::string digest2 = "fedcba9876543210fedcba9876543210";
    EXPECT_EQ(find_local_record(file, digest1), std::nullopt);
    EXPECT_TRUE(read_all_local_records(file).empty());

    ASSERT_TRUE(write_local_record(file, record(digest1, "https://gitee.com/o/r/raw/master/1.png")));
    UploadRecord second{digest2, "1700000000456", "", "https://h/\xC4\xEA.gif", ".gif"};
    ASSERT_TRUE(write_local_record(file, second));
    EXPECT_EQ(read_whole_file(file), "[" + digest1 + "]\r\nImgMd5=" + digest1 +
                                         "\r\nImgType=.png\r\nImgUploadTime=1700000000123\r\n"
                                         "ImgUrl=https://gitee.com/o/r/raw/master/1.png\r\n"
                                         "[" +
                                         digest2 + "]\r\nImgMd5=" + digest2 +
                                         "\r\nImgType=.gif\r\nImgUploadTime=1700000000456\r\n"
                                         "ImgUrl=https://h/\xC4\xEA.gif\r\n");

    EXPECT_EQ(find_local_record(file, digest1), "https://gitee.com/o/r/raw/master/1.png");
    EXPECT_EQ(find_local_record(file, digest2), "https://h/\xC4\xEA.gif");
    EXPECT_EQ(find_local_record(file, "0123456789ABCDEF0123456789ABCDEF"), std::nullopt) << "digests match exactly";

    // A hand-written upper-case section and one without keys are still listed.
    std::ofstream(file, std::ios::binary | std::ios::app) << "[ABC]\r\nImgUrl=u\r\n[empty]\r\n";
    EXPECT_EQ(find_local_record(file, "abc"), std::nullopt);
    EXPECT_EQ(find_local_record(file, "empty"), "");
    auto all = read_all_local_records(file);
    ASSERT_EQ(all.size(), 4u);
    EXPECT_EQ(all[0], record(digest1, "https://gitee.com/o/r/raw/master/1.png"));
    EXPECT_EQ(all[1], second);
    EXPECT_EQ(all[2].ImgUrl, "u");
    EXPECT_EQ(all[2].ImgMd5, "");
    EXPECT_EQ(all[3], UploadRecord{});

    EXPECT_TRUE(remove_all_local_records(file));
    EXPECT_FALSE(file_exists(file));
    EXPECT_TRUE(read_all_local_records(file).empty());
    EXPECT_EQ(find_local_record(file, digest1), std::nullopt);
    EXPECT_TRUE(remove_all_local_records(file)) << "nothing to remove is no error";
}

TEST(LocalRecordFile, AddIfAbsentKeepsTheFirstRecord) {
    test::TempDir dir;
    auto file = dir.file("r.ini");
    bool written = false;
    EXPECT_EQ(add_local_record_if_absent(file, record("d", "first"), &written), std::nullopt);
    EXPECT_TRUE(written);
    EXPECT_EQ(add_local_record_if_absent(file, record("d", "second"), &written), "first");
    EXPECT_FALSE(written);
    EXPECT_EQ(read_all_local_records(file).size(), 1u);
}

// Uploads of one new picture from several threads and a second process end with one section.
TEST(LocalRecordFile, ConcurrentAddsOfOneDigestGiveOneSection) {
    test::TempDir dir;
    auto file = dir.file("r.ini");
    const std::string digest = "00000000000000000000000000000001";
    constexpr int kThreads = 6;
    std::atomic<int> ready{0};
    std::atomic<int> wrote{0};
    auto race = [&](const std::string& who) {
        ++ready;
        while (ready.load() < kThreads) {
            std::this_thread::yield();
        }
        bool written = false;
        auto found = add_local_record_if_absent(file, record(digest, who), &written);
        if (!found && written)
            ++wrote;
    };

    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        bool written = false;
        auto found = add_local_record_if_absent(file, record(digest, "child"), &written);
        _exit(found ? 0 : (written ? 2 : 1));
    }
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i)
        threads.emplace_back(race, "thread" + std::to_string(i));
    for (auto& thread : threads)
        thread.join();
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    int child_wrote = WEXITSTATUS(status) == 2 ? 1 : 0;
    EXPECT_NE(WEXITSTATUS(status), 1);

    EXPECT_EQ(wrote.load() + child_wrote, 1);
    EXPECT_EQ(listed(file), Names{digest});
    auto address = find_local_record(file, digest);
    ASSERT_TRUE(address);
    EXPECT_TRUE(*address == "child" || address->rfind("thread", 0) == 0) << *address;
}

TEST(LocalRecordFile, ManyRecordsReadBackInOrder) {
    test::TempDir dir;
    auto file = dir.file("r.ini");
    std::string bytes;
    constexpr int kRecords = 3000;
    for (int i = 0; i < kRecords; ++i) {
        std::string digest = std::to_string(i);
        bytes += "[" + digest + "]\r\nImgMd5=" + digest + "\r\nImgType=.jpg\r\nImgUploadTime=1\r\nImgUrl=u" + digest +
                 "\r\n";
    }
    put(file, bytes);
    auto all = read_all_local_records(file);
    ASSERT_EQ(all.size(), static_cast<std::size_t>(kRecords));
    for (int i = 0; i < kRecords; i += 499) {
        EXPECT_EQ(all[i].ImgMd5, std::to_string(i));
        EXPECT_EQ(all[i].ImgUrl, "u" + std::to_string(i));
        EXPECT_EQ(all[i].ImgType, ".jpg");
    }
}

TEST(LocalRecordFile, LivesInTheProgramDirectory) {
    test::TempDir dir;
    set_program_dir(dir.path());
    EXPECT_EQ(local_record_file_path(), dir.path() / "本地记录.ini");
}

} // namespace
} // namespace velpic
