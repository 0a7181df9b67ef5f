#include "http/host_pacer.h"

#include <gtest/gtest.h>

#include <ctime>

using namespace velpic;
using namespace std::chrono_literals;

TEST(HostPacer, AHostGetsItsTurnsEvenlySpacedAndNoneWhilePaused) {
    HostPacer pacer;
    // A turn whose request goes out at once, as over a connection already open.
    auto turn = [&](const std::string& host, int per_second, HostPacer::Clock::time_point at) {
        const HostPacer::Turn taken = pacer.take(host, per_second, at);
        if (taken.granted)
            pacer.sent(host, per_second, at);
        return taken;
    };
    const auto t0 = HostPacer::Clock::now();
    // Three a second: one every 333.33… ms, never two at once, however long the host was left alone before.
    EXPECT_TRUE(turn("a.example", 3, t0).granted);
    HostPacer::Turn held = turn("a.example", 3, t0 + 10ms);
    EXPECT_FALSE(held.granted);
    EXPECT_FALSE(held.host_asked);
    EXPECT_GE(held.retry_at, t0 + 333ms);
    EXPECT_LE(held.retry_at, t0 + 334ms);
    EXPECT_FALSE(turn("a.example", 3, held.retry_at - 1ns).granted);
    EXPECT_TRUE(turn("a.example", 3, held.retry_at).granted);
    EXPECT_TRUE(turn("b.example", 3, t0 + 100ms).granted); // another host has turns of its own
    EXPECT_TRUE(turn("a.example", 3, t0 + 5s).granted);
    EXPECT_FALSE(turn("a.example", 3, t0 + 5s + 1ms).granted);
    // Eight a second: one every 125 ms exactly.
    EXPECT_TRUE(turn("c.example", 8, t0).granted);
    EXPECT_EQ(turn("c.example", 8, t0 + 1ms).retry_at, t0 + 125ms);

    pacer.pause("b.example", t0 + 5s);
    pacer.pause("b.example", t0 + 2s); // a shorter pause does not end a longer one early
    held = turn("b.example", 3, t0 + 4s);
    EXPECT_FALSE(held.granted);
    EXPECT_TRUE(held.host_asked);
    EXPECT_EQ(held.retry_at, t0 + 5s);
    EXPECT_TRUE(turn("b.example", 3, t0 + 5s).granted);
}

TEST(HostPacer, NoLimitStillKeepsThePauseAndALateRequestHoldsTheNextTurn) {
    HostPacer pacer;
    const auto t0 = HostPacer::Clock::now();
    for (int i = 0; i < 100; ++i)
        EXPECT_TRUE(pacer.take("a.example", 0, t0).granted) << i;
    pacer.pause("a.example", t0 + 3s);
    EXPECT_FALSE(pacer.take("a.example", 0, t0 + 2s).granted);
    EXPECT_TRUE(pacer.take("a.example", 0, t0 + 3s).granted);

    // A turn taken at t0 whose request only goes out 250 ms later (a connection being made): no turn while it has
    // not, and the next one a whole spacing after the request, not after the turn.
    EXPECT_TRUE(pacer.take("b.example", 10, t0).granted);
    HostPacer::Turn held = pacer.take("b.example", 10, t0 + 200ms);
    EXPECT_FALSE(held.granted);
    EXPECT_LE(held.retry_at, t0 + 210ms); // asked again soon: the request may go out on another thread
    pacer.sent("b.example", 10, t0 + 250ms);
    held = pacer.take("b.example", 10, t0 + 300ms);
    EXPECT_FALSE(held.granted);
    EXPECT_EQ(held.retry_at, t0 + 350ms);
    EXPECT_TRUE(pacer.take("b.example", 10, t0 + 350ms).granted);
    // One whose request never goes out, nor is said to have failed, holds the host for a second at most.
    EXPECT_FALSE(pacer.take("b.example", 10, t0 + 1349ms).granted);
    EXPECT_TRUE(pacer.take("b.example", 10, t0 + 1350ms).granted);
    pacer.sent("b.example", 10, t0 + 1350ms);
    pacer.sent("b.example", 0, t0 + 9s); // a batch without a limit moves nothing
    EXPECT_TRUE(pacer.take("b.example", 10, t0 + 1450ms).granted);
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
