#include "http/host_pacer.h"

#include <gtest/gtest.h>

#include <ctime>

using namespace velpic;
using namespace std::chrono_literals;

TEST(HostPacer, AHostGetsItsTurnsPerSecondAndNoneWhilePaused) {
    HostPacer pacer;
    const auto t0 = HostPacer::Clock::now();
    for (int i = 0; i < 3; ++i)
        EXPECT_TRUE(pacer.take("a.example", 3, t0 + i * 10ms).granted) << i;
    HostPacer::Turn held = pacer.take("a.example", 3, t0 + 100ms);
    EXPECT_FALSE(held.granted);
    EXPECT_FALSE(held.host_asked);
    EXPECT_EQ(held.retry_at, t0 + 1s); // when the first of the three leaves the second
    EXPECT_TRUE(pacer.take("b.example", 3, t0 + 100ms).granted);
    EXPECT_TRUE(pacer.take("a.example", 3, t0 + 1s + 1ms).granted);
    EXPECT_FALSE(pacer.take("a.example", 3, t0 + 1s + 2ms).granted);

    pacer.pause("b.example", t0 + 5s);
    pacer.pause("b.example", t0 + 2s); // a shorter pause does not end a longer one early
    held = pacer.take("b.example", 3, t0 + 4s);
    EXPECT_FALSE(held.granted);
    EXPECT_TRUE(held.host_asked);
    EXPECT_EQ(held.retry_at, t0 + 5s);
    EXPECT_TRUE(pacer.take("b.example", 3, t0 + 5s).granted);
}

TEST(HostPacer, HostsAreNamedByHostAndPortWhateverTheLetterCase) {
    EXPECT_EQ(host_of("https://Gitee.COM/a/b?c#d"), "gitee.com");
    EXPECT_EQ(host_of("http://user:pw@127.0.0.1:8080/raw"), "127.0.0.1:8080");
    EXPECT_EQ(host_of("http://x.example?q"), "x.example");
    EXPECT_EQ(host_of("no address"), "");
}

TEST(HostPacer, RetryAfterIsReadAsSecondsOrADateAndBounded) {
    const long long now = 1'700'000'000; // 2023-11-14 22:13:20 UTC
    EXPECT_EQ(retry_after_seconds("5", now, 120), 5);
    EXPECT_EQ(retry_after_seconds(" 0 \r\n", now, 120), 0);
    EXPECT_EQ(retry_after_seconds("99999999999999999999999", now, 120), 120);
    EXPECT_EQ(retry_after_seconds("Tue, 14 Nov 2023 22:13:50 GMT", now, 120), 30);
    EXPECT_EQ(retry_after_seconds("Tue, 14 Nov 2023 22:00:00 GMT", now, 120), 0); // already past
    EXPECT_EQ(retry_after_seconds("Fri, 31 Dec 9999 23:59:59 GMT", now, 120), 120);
    for (const char* bad : {"", "-5", "soon", "1.5", "5 seconds"})
        EXPECT_EQ(retry_after_seconds(bad, now, 120), -1) << bad;
}
