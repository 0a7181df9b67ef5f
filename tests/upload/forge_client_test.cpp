// How a forge's request for a wait is read, and the streamed body of several pictures.
#include "upload/encoders.h"
#include "upload/forge_client.h"
#include "upload/forge_json_body.h"
#include "upload/forge_pacer.h"

#include <gtest/gtest.h>

#include <ctime>

namespace velpic {
namespace {

TEST(ForgeWaitSeconds, ReadsRetryAfterAndAnExhaustedRateLimit) {
    const long long now = 1'700'000'000;
    struct Case {
        const char* name;
        int status;
        std::string headers;
        long long wait;
    };
    const Case cases[] = {
        {"429 with Retry-After", 429, "Retry-After: 7", 7},
        {"names in any letter case", 403, "retry-after: 3", 3},
        {"exhausted limit waits until the reset", 403,
         "x-ratelimit-remaining: 0\r\nX-RateLimit-Reset: " + std::to_string(now + 120), 120},
        {"reset already passed", 403, "x-ratelimit-remaining: 0\r\nx-ratelimit-reset: " + std::to_string(now - 5), 0},
        {"a wait above the cap is the cap", 429, "Retry-After: 99999", 3600},
        {"429 naming no time waits a minute", 429, "", 60},
        {"403 with requests left is a refusal", 403, "x-ratelimit-remaining: 12", -1},
        {"403 without either header is a refusal", 403, "", -1},
        {"other statuses never wait", 503, "Retry-After: 5", -1},
        // A head whose lines end at a bare LF: each header is its own line all the same.
        {"lines ending at LF", 403, "x-ratelimit-remaining: 0\nx-ratelimit-reset: " + std::to_string(now + 30) + "\n", 30},
        // A byte that could lead a GBK character right before the LF.
        {"high byte before LF", 403, "x-oauth-scopes: \xd4\nx-ratelimit-remaining: 0\nx-ratelimit-reset: " +
                                         std::to_string(now + 30), 30},
    };
    for (const Case& c : cases) {
        TokenAnswer answer;
        answer.complete = true;
        answer.status = c.status;
        answer.headers = "HTTP/1.1 " + std::to_string(c.status) + " X\r\n" + c.headers + "\r\n";
        EXPECT_EQ(forge_wait_seconds(answer, now, 3600), c.wait) << c.name;
    }
}

// A head is bytes: a byte above 0x80 leads no character in it.
TEST(ForgeHeader, ReadsTheLastValueOfANameByBytes) {
    EXPECT_EQ(forge_header("HTTP/1.1 200 OK\r\nX-A: v\xd4 \r\nX-B: w\r\n", "x-a"), "v\xd4");
    EXPECT_EQ(forge_header("HTTP/1.1 200 OK\r\nX-A: \xd4\nX-B: w\n", "X-B"), "w");
    EXPECT_EQ(forge_header("HTTP/1.1 200 OK\r\nX-A: 1\r\nx-a:\t2 \r\n", "X-A"), "2");
    EXPECT_EQ(forge_header("HTTP/1.1 200 OK\r\nX-A: 1\r\n", "X-C"), "");
}

TEST(ForgeWritePacer, KeepsWritesUnderTheMinuteAndTheHourLimit) {
    using namespace std::chrono_literals;
    ForgeWritePacer pacer(2, 3);
    const auto t0 = ForgeWritePacer::Clock::time_point() + 24h;
    pacer.take(t0);
    EXPECT_EQ(pacer.wait_at(t0 + 1s), 0s);
    pacer.take(t0 + 1s);
    EXPECT_EQ(pacer.wait_at(t0 + 2s), 58s); // the third in one minute waits for the first to leave it
    EXPECT_EQ(pacer.wait_at(t0 + 60s), 0s);
    pacer.take(t0 + 60s);
    EXPECT_EQ(pacer.wait_at(t0 + 61s), 1h - 61s); // the fourth in one hour waits for the first to leave it
    EXPECT_EQ(pacer.wait_at(t0 + 1h), 0s);
    pacer.take(t0 + 1h);
    EXPECT_EQ(pacer.wait_at(t0 + 1h), 1s); // three in the hour again, until t0 + 1s leaves it
}

TEST(ForgeJsonBody, ReadsAsTheWholeTextFromAnyOffsetInAnyStep) {
    const std::string first = std::string("\x89PNG\r\n\x1a\n", 8) + "one";
    const std::string second = "second picture, longer";
    ForgeJsonBody body;
    body.add_text("{\"files\":[{\"content\":\"");
    body.add_base64(first);
    body.add_text("\"},{\"content\":\"");
    body.add_base64(second);
    body.add_text("\"}]}");
    const std::string whole =
        "{\"files\":[{\"content\":\"" + base64_encode(first) + "\"},{\"content\":\"" + base64_encode(second) + "\"}]}";
    ASSERT_EQ(body.size(), whole.size());
    for (std::size_t step : {1u, 3u, 7u, 64u}) {
        for (std::size_t start : {0u, 5u, 23u}) {
            std::string read;
            char buffer[64];
            std::size_t got;
            while ((got = body.read(start + read.size(), buffer, step)) > 0)
                read.append(buffer, got);
            EXPECT_EQ(read, whole.substr(start)) << step << " from " << start;
        }
    }
}

} // namespace
} // namespace velpic
