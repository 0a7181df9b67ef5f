#include "runtime/md5.h"
#include "runtime/thread_start.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stdexcept>

namespace velpic {
namespace {

TEST(Md5, KnownDigestsOfTextAndBinaryBytes) {
    EXPECT_EQ(md5_hex(""), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(md5_hex("abc"), "900150983cd24fb0d6963f7d28e17f72");
    // Zero bytes are part of the buffer, not its end.
    EXPECT_EQ(md5_hex(std::string_view("\0", 1)), "93b885adfe0da089cdf634904fd59f71");
    EXPECT_EQ(md5_hex(std::string(1000000, 'a')), "7707d6ae4e027c70eea2a935c2296f21");
}

TEST(StartThread, RunsTheJobAndSurvivesAThrowingOne) {
    std::mutex mutex;
    std::condition_variable done;
    int finished = 0;
    auto finish = [&] {
        std::lock_guard guard(mutex);
        ++finished;
        done.notify_all();
    };
    ASSERT_TRUE(start_thread([&] {
        finish();
        throw std::runtime_error("a failing job must not end the process");
    }));
    ASSERT_TRUE(start_thread(finish));
    std::unique_lock lock(mutex);
    EXPECT_TRUE(done.wait_for(lock, std::chrono::seconds(30), [&] { return finished == 2; }));
}

} // namespace
} // namespace velpic
