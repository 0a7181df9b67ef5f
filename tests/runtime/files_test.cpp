#include "runtime/files.h"
#include "runtime/program_dir.h"
#include "runtime/service_base.h"

#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <future>
#include <string>
#include <vector>

namespace velpic {
namespace {

void put(const std::filesystem::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

TEST(Files, WholeFilesExistenceAndDeletion) {
    test::TempDir dir;
    const std::string binary("\x89PNG\0\x1A\r\n\xFF", 9);
    put(dir.file("p.png"), binary);
    EXPECT_EQ(read_whole_file(dir.file("p.png")), binary);
    EXPECT_EQ(read_whole_file(dir.file("missing")), "");
    EXPECT_EQ(read_whole_file(dir.path()), "") << "a directory is not a readable file";

    EXPECT_TRUE(file_exists(dir.file("p.png")));
    EXPECT_FALSE(file_exists(dir.path()));
    EXPECT_FALSE(file_exists(dir.file("missing")));
    EXPECT_TRUE(delete_file(dir.file("p.png")));
    EXPECT_FALSE(file_exists(dir.file("p.png")));
    EXPECT_FALSE(delete_file(dir.file("p.png")));
    EXPECT_FALSE(delete_file(dir.path()));
    EXPECT_TRUE(std::filesystem::is_directory(dir.path()));
}

// The overrides are process-wide and the argument override is final, so the order below matters.
TEST(Files, OnlyRegularFilesWithinTheLimitAreRead) {
    test::TempDir dir;
    put(dir.file("p.png"), "0123456789A");
    FileRead whole = read_regular_file(dir.file("p.png"), 11);
    EXPECT_EQ(whole.status, FileReadStatus::ok);
    EXPECT_EQ(whole.bytes, "0123456789A");
    FileRead large = read_regular_file(dir.file("p.png"), 10);
    EXPECT_EQ(large.status, FileReadStatus::too_large);
    EXPECT_EQ(large.bytes, "");
    EXPECT_EQ(large.size, 11u);
    EXPECT_EQ(read_regular_file(dir.file("missing"), 10).status, FileReadStatus::unreadable);
    EXPECT_EQ(read_regular_file(dir.path(), 10).status, FileReadStatus::not_regular);
    // Files that announce no size are read to their end all the same.
    EXPECT_NE(read_whole_file("/proc/self/status").find("Name:"), std::string::npos);

    // A FIFO would block the reader until something writes to it, which may never happen.
    const std::filesystem::path fifo = dir.file("x.png");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    auto reading = std::async(
        std::launch::async, [&] { return std::make_pair(read_regular_file(fifo, 10).status, read_whole_file(fifo)); });
    if (reading.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
        ::close(::open(fifo.c_str(), O_WRONLY | O_NONBLOCK)); // lets the blocked reader go
        reading.wait();
        FAIL() << "reading a FIFO blocked";
    }
    auto [status, bytes] = reading.get();
    EXPECT_EQ(status, FileReadStatus::not_regular);
    EXPECT_EQ(bytes, "");
}

// Bytes this process has read through read() and pread() so far.
std::uint64_t bytes_read_so_far() {
    std::ifstream io("/proc/self/io");
    std::string key;
    std::uint64_t value = 0;
    while (io >> key >> value)
        if (key == "rchar:")
            return value;
    return 0;
}

TEST(Files, AFileWhoseHeadIsRefusedIsNotReadFurther) {
    test::TempDir dir;
    const std::string tail(4 << 20, 't');
    put(dir.file("key.png"), "-----BEGIN KEY" + tail);
    put(dir.file("p.png"), "PIC:" + tail);
    put(dir.file("short.png"), "PI");
    put(dir.file("empty.png"), "");
    std::vector<std::string> heads;
    auto starts_pic = [&](std::string_view head) {
        heads.emplace_back(head);
        return head.starts_with("PIC:");
    };

    const std::uint64_t before = bytes_read_so_far();
    const FileRead refused = read_regular_file(dir.file("key.png"), 8 << 20, 8, starts_pic);
    const std::uint64_t read = bytes_read_so_far() - before;
    EXPECT_EQ(refused.status, FileReadStatus::refused_head);
    EXPECT_EQ(refused.bytes, "");
    EXPECT_LT(read, 4096u); // the head and the counter file itself, nowhere near the 4 MB behind the head
    EXPECT_EQ(heads, std::vector<std::string>{"-----BEG"});

    const FileRead accepted = read_regular_file(dir.file("p.png"), 8 << 20, 8, starts_pic);
    EXPECT_EQ(accepted.status, FileReadStatus::ok);
    EXPECT_EQ(accepted.bytes, "PIC:" + tail);
    EXPECT_EQ(read_regular_file(dir.file("short.png"), 10, 8, starts_pic).status, FileReadStatus::refused_head);
    EXPECT_EQ(heads.back(), "PI");
    // An empty file has no head to judge; its callers refuse it as empty.
    const FileRead empty = read_regular_file(dir.file("empty.png"), 10, 8, starts_pic);
    EXPECT_EQ(empty.status, FileReadStatus::ok);
    EXPECT_EQ(empty.bytes, "");
    // Files that announce no size are judged by their head as well.
    EXPECT_EQ(read_regular_file("/proc/self/environ", 1 << 20, 8, starts_pic).status, FileReadStatus::refused_head);
    // The size limit is checked first, without reading.
    EXPECT_EQ(read_regular_file(dir.file("p.png"), 100, 8, starts_pic).status, FileReadStatus::too_large);
}

TEST(ProgramDir, ExecutableDirectoryThenEnvironmentThenArguments) {
    unsetenv("VELPIC_DATA_DIR");
    EXPECT_EQ(program_dir(), std::filesystem::read_symlink("/proc/self/exe").parent_path());

    test::TempDir dir;
    setenv("VELPIC_DATA_DIR", (dir.path().string() + "/").c_str(), 1);
    EXPECT_EQ(program_dir(), dir.path()) << "no trailing separator";
    EXPECT_EQ((program_dir() / "本地记录.ini").string(), dir.path().string() + "/本地记录.ini");

    std::string args[] = {"velpic", "--upload", "--data-dir", dir.path().string() + "/数据", "x.png"};
    std::vector<char*> argv;
    for (auto& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    int argc = 5;
    EXPECT_TRUE(set_program_dir_from_args(argc, argv.data()));
    ASSERT_EQ(argc, 3);
    EXPECT_EQ(std::string(argv[0]), "velpic");
    EXPECT_EQ(std::string(argv[1]), "--upload");
    EXPECT_EQ(std::string(argv[2]), "x.png");
    EXPECT_EQ(argv[3], nullptr);
    EXPECT_EQ(program_dir(), dir.path() / "数据") << "arguments win over the environment";

    std::string relative[] = {"velpic", "--data-dir=rel/dir"};
    char* relative_argv[] = {relative[0].data(), relative[1].data(), nullptr};
    int relative_argc = 2;
    EXPECT_TRUE(set_program_dir_from_args(relative_argc, relative_argv));
    EXPECT_EQ(relative_argc, 1);
    EXPECT_EQ(program_dir(), std::filesystem::current_path() / "rel" / "dir");

    std::string plain[] = {"velpic", "a.png"};
    char* plain_argv[] = {plain[0].data(), plain[1].data(), nullptr};
    int plain_argc = 2;
    EXPECT_FALSE(set_program_dir_from_args(plain_argc, plain_argv));
    EXPECT_EQ(plain_argc, 2);
    unsetenv("VELPIC_DATA_DIR");
}

TEST(ServiceBase, DefaultAndOverrideEndInASlash) {
    unsetenv("VELPIC_SERVICE_BASE");
    EXPECT_EQ(service_base(), "https://gitee.com/");
    setenv("VELPIC_SERVICE_BASE", "https://127.0.0.1:8443", 1);
    EXPECT_EQ(service_base(), "https://127.0.0.1:8443/");
    setenv("VELPIC_SERVICE_BASE", "http://localhost:1/", 1);
    EXPECT_EQ(service_base(), "http://localhost:1/");
    unsetenv("VELPIC_SERVICE_BASE");
}

} // namespace
} // namespace velpic
