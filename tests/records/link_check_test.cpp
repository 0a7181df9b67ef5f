#include "records/link_check.h"
#include "records/link_check_job.h"
#include "runtime/codepage.h"
#include "runtime/md5.h"
#include "support/raw_http_server.h"
#include "support/temp_dir.h"
#include "support/test_service.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <fstream>
#include <map>
#include <mutex>
#include <thread>

using namespace velpic;
using velpic::test::ServiceAnswer;
using velpic::test::TestService;

namespace {

const std::string kPng = std::string("\x89PNG\r\n\x1A\n\0\0\0\rIHDR", 16);
const std::string kJpeg = "\xFF\xD8\xFF\xE0\x00\x10JFIF";
const std::string kGif87 = "GIF87a\x01\x00\x01\x00";
const std::string kGif89 = "GIF89a\x01\x00\x01\x00";
const std::string kWebp = std::string("RIFF\x24\x00\x00\x00WEBPVP8 ", 16);

std::string picture(const std::string& signature, std::size_t size, char fill = 'x') {
    return signature + std::string(size > signature.size() ? size - signature.size() : 0, fill);
}

BatchGetResult answer(int status, std::string head, bool complete = true, std::string md5 = {}) {
    BatchGetResult result;
    result.head_complete = true;
    result.status = status;
    result.head = std::move(head);
    result.body_complete = complete;
    result.body_md5 = std::move(md5);
    return result;
}

LinkTarget target(const std::string& type, const std::string& digest = "") {
    return {"https://example.invalid/a", type, digest};
}

} // namespace

TEST(LinkClassification, OnlyTheRecordsPictureIsValidAndEveryOtherAnswerSaysWhatWentWrong) {
    const LinkTarget png = target(".png", md5_hex(kPng));
    EXPECT_EQ(classify_link(answer(200, kPng), png, false), LinkStatus::valid);
    EXPECT_EQ(classify_link(answer(206, kPng), png, false), LinkStatus::valid);
    // Gone: the status, or the service's not-found page whatever its status.
    EXPECT_EQ(classify_link(answer(404, ""), png, false), LinkStatus::expired);
    EXPECT_EQ(classify_link(answer(410, kPng), png, false), LinkStatus::expired);
    EXPECT_EQ(classify_link(answer(200, "<h1>404 Not Found</h1>"), png, false), LinkStatus::expired);
    EXPECT_EQ(classify_link(answer(500, "<title>404 Not Found</title>"), png, false), LinkStatus::expired);
    // Answers that show something else where the picture should be.
    for (int status : {401, 403, 500, 502, 302})
        EXPECT_EQ(classify_link(answer(status, "<html>denied</html>"), png, false), LinkStatus::abnormal) << status;
    EXPECT_EQ(classify_link(answer(403, kPng), png, false), LinkStatus::abnormal);
    EXPECT_EQ(classify_link(answer(200, "<html><title>Sign in</title></html>"), png, false), LinkStatus::abnormal);
    EXPECT_EQ(classify_link(answer(200, TestService::icon_bytes()), png, false), LinkStatus::abnormal);
    EXPECT_EQ(classify_link(answer(200, kJpeg), png, false), LinkStatus::abnormal);
    EXPECT_EQ(classify_link(answer(200, "404 not found"), png, false),
              LinkStatus::abnormal); // the marker's case counts
    EXPECT_EQ(classify_link(answer(200, ""), png, false), LinkStatus::abnormal);
    EXPECT_EQ(classify_link(answer(200, kPng.substr(0, 4), true), png, false), LinkStatus::abnormal);
    // No whole answer, or a picture cut off before its signature could tell: nothing is known about the link.
    EXPECT_EQ(classify_link(BatchGetResult{}, png, false), LinkStatus::failed);
    EXPECT_EQ(classify_link(answer(200, kPng.substr(0, 4), false), png, false), LinkStatus::failed);

    // Deep: the whole body's digest decides, letter case of the stored digest aside.
    EXPECT_EQ(classify_link(answer(200, kPng, true, md5_hex(kPng)), png, true), LinkStatus::valid);
    LinkTarget upper = png;
    for (char& c : upper.digest)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    EXPECT_EQ(classify_link(answer(200, kPng, true, md5_hex(kPng)), upper, true), LinkStatus::valid);
    EXPECT_EQ(classify_link(answer(200, kPng, true, md5_hex(kPng + "!")), png, true), LinkStatus::abnormal);
    EXPECT_EQ(classify_link(answer(200, kPng, false), png, true), LinkStatus::failed);
    EXPECT_EQ(classify_link(answer(200, kPng, true, md5_hex(kPng)), target(".png", ""), true), LinkStatus::abnormal);

    EXPECT_EQ(to_utf8(link_status_text(LinkStatus::pending)), "待检测");
    EXPECT_EQ(to_utf8(link_status_text(LinkStatus::checking)), "正在检测...");
    EXPECT_EQ(to_utf8(link_status_text(LinkStatus::valid)), "有效");
    EXPECT_EQ(to_utf8(link_status_text(LinkStatus::expired)), "已失效");
    EXPECT_EQ(to_utf8(link_status_text(LinkStatus::failed)), "检测失败");
    EXPECT_EQ(to_utf8(link_status_text(LinkStatus::abnormal)), "内容异常");
}

TEST(LinkClassification, EachTypeAcceptsItsOwnSignatureInAnyLetterCaseAndNoOther) {
    const std::map<std::string, std::vector<std::string>> own = {
        {".png", {kPng}},           {".PNG", {kPng}},           {".jpg", {kJpeg}},  {".JPEG", {kJpeg}},
        {".gif", {kGif87, kGif89}}, {".Gif", {kGif87, kGif89}}, {".webp", {kWebp}}, {".WEBP", {kWebp}},
    };
    const std::vector<std::string> all = {kPng, kJpeg, kGif87, kGif89, kWebp};
    for (const auto& [type, accepted] : own) {
        for (const std::string& bytes : all) {
            const bool wanted = std::find(accepted.begin(), accepted.end(), bytes) != accepted.end();
            EXPECT_EQ(classify_link(answer(200, bytes), target(type), false),
                      wanted ? LinkStatus::valid : LinkStatus::abnormal)
                << type << " " << bytes.substr(0, 4);
        }
    }
    // WebP's four size bytes are anything, the rest is not.
    EXPECT_EQ(match_signature(PictureSignature::webp, "RIFF\xFF\xFF\xFF\xFFWEBP", true), SignatureMatch::yes);
    EXPECT_EQ(match_signature(PictureSignature::webp, "RIFF\x24\0\0\0AVI LIST", true), SignatureMatch::no);
    EXPECT_EQ(match_signature(PictureSignature::webp, "RIFF\x24\0", false), SignatureMatch::undecided);
    EXPECT_EQ(match_signature(PictureSignature::png, "\x89PX", false), SignatureMatch::no);
    // A type the check does not know accepts any picture, and only pictures.
    for (const std::string& bytes : all)
        EXPECT_EQ(classify_link(answer(200, bytes), target(".bmp"), false), LinkStatus::valid);
    EXPECT_EQ(classify_link(answer(200, "<html>"), target(""), false), LinkStatus::abnormal);
}

TEST(LinkCheckReferer, OnlyWebAddressesGoOnTheHeaderLine) {
    EXPECT_EQ(link_check_referer(""), std::string());
    EXPECT_EQ(link_check_referer("  "), std::string());
    EXPECT_EQ(link_check_referer(" https://blog.example/post?id=1 "), "https://blog.example/post?id=1");
    EXPECT_EQ(link_check_referer("HTTP://blog.example/"), "HTTP://blog.example/");
    // Line breaks would start a header of the address's choosing.
    EXPECT_EQ(link_check_referer("https://blog.example/a\r\nX-Evil: 1"), "https://blog.example/a%0D%0AX-Evil:%201");
    EXPECT_EQ(link_check_referer("https://博客.example/"), "https://%E5%8D%9A%E5%AE%A2.example/");
    EXPECT_FALSE(link_check_referer("ftp://blog.example/"));
    EXPECT_FALSE(link_check_referer("blog.example"));
    EXPECT_FALSE(link_check_referer("https://"));

    LinkCheckOptions options;
    options.referer = "https://blog.example/";
    const std::vector<std::string> lines = link_check_header_lines(options);
    EXPECT_NE(std::find(lines.begin(), lines.end(), "Referer: https://blog.example/"), lines.end());
    EXPECT_NE(std::find(lines.begin(), lines.end(), "Range: bytes=0-4095"), lines.end());
    options.deep = true;
    options.referer = "nonsense";
    for (const std::string& line : link_check_header_lines(options)) {
        EXPECT_FALSE(line.starts_with("Referer")) << line;
        EXPECT_FALSE(line.starts_with("Range")) << line;
    }
}

namespace {

// The checks against the service stand-in over TLS, its certificate trusted through VELPIC_CA_FILE.
class LinkCheckTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(service.running());
        std::ofstream(dir.file("ca.pem")) << service.certificate_pem();
        setenv("VELPIC_CA_FILE", dir.file("ca.pem").c_str(), 1);
    }
    void TearDown() override { unsetenv("VELPIC_CA_FILE"); }

    std::string raw_path(const std::string& name) const { return "/alice/pics/raw/master/" + name; }
    std::string raw(const std::string& name) const { return service.download_url("alice", "pics", name); }
    LinkTarget put(const std::string& name, const std::string& bytes, const std::string& type = ".png") {
        service.put_file("alice", "pics", name, bytes);
        return {utf8_to_gbk(raw(name)), type, md5_hex(bytes)};
    }

    std::vector<LinkStatus> check(const std::vector<LinkTarget>& targets, LinkCheckOptions options = {}) {
        std::vector<LinkStatus> statuses(targets.size(), LinkStatus::pending);
        LinkCheckEvents events;
        events.finished = [&](std::size_t index, LinkStatus status) { statuses[index] = status; };
        check_links(targets, options, events);
        return statuses;
    }
    LinkStatus check_one(const LinkTarget& one, LinkCheckOptions options = {}) { return check({one}, options)[0]; }

    static ServiceAnswer status_answer(int status, std::string body = "<html>no</html>") {
        ServiceAnswer answer;
        answer.status = status;
        answer.headers = {{"Content-Type", "text/html"}};
        answer.body = std::move(body);
        return answer;
    }
    static ServiceAnswer redirect(const std::string& location) {
        ServiceAnswer answer = status_answer(302, "moved");
        answer.headers.push_back({"Location", location});
        return answer;
    }

    test::TempDir dir;
    TestService service{TestService::Transport::tls};
};

} // namespace

TEST_F(LinkCheckTest, EveryKindOfAnswerFromAServiceGetsItsStatus) {
    std::vector<LinkTarget> targets = {
        put("a.png", picture(kPng, 20000)),         put("b.JPG", picture(kJpeg, 3000), ".JPG"),
        put("c.gif", picture(kGif89, 100), ".gif"), put("d.webp", picture(kWebp, 5000), ".webp"),
        put("e.png", picture(kJpeg, 3000)), // bytes of another type
        {utf8_to_gbk(raw("gone.png")), ".png", ""},
    };
    const std::vector<std::pair<std::string, int>> statuses = {
        {"401.png", 401}, {"403.png", 403}, {"410.png", 410}, {"500.png", 500}, {"503.png", 503}};
    for (const auto& [name, status] : statuses) {
        service.preset_answer("GET", raw_path(name), status_answer(status, picture(kPng, 100)));
        targets.push_back({utf8_to_gbk(raw(name)), ".png", ""});
    }
    service.preset_answer("GET", raw_path("page.png"), status_answer(200, "<html><body>a page</body></html>"));
    targets.push_back({utf8_to_gbk(raw("page.png")), ".png", ""});
    service.preset_answer("GET", raw_path("marker.png"), status_answer(200, "<h1>404 Not Found</h1>"));
    targets.push_back({utf8_to_gbk(raw("marker.png")), ".png", ""});

    using S = LinkStatus;
    EXPECT_EQ(check(targets),
              (std::vector<LinkStatus>{S::valid, S::valid, S::valid, S::valid, S::abnormal, S::expired, S::abnormal,
                                       S::abnormal, S::expired, S::abnormal, S::abnormal, S::abnormal, S::expired}));
    // Every check asked for the leading bytes only, with the user agent it always sent.
    for (const test::ServiceRequest& request : service.requests()) {
        EXPECT_EQ(request.header("Range"), "bytes=0-4095");
        EXPECT_EQ(request.header("User-Agent"), "Mozilla/5.0 (Windows NT 6.1; WOW64) AppleWebKit/537.36 (KHTML, like "
                                                "Gecko) Chrome/50.0.2661.87 Safari/537.36");
        EXPECT_FALSE(request.has_header("Referer"));
    }
}

TEST_F(LinkCheckTest, NoAnswerAtAllIsAFailedCheckNotADeadLink) {
    test::RefusingPort refusing;
    test::RawHttpServer silent;
    silent.answer(test::RawAnswer::silent());
    TestService untrusted(TestService::Transport::tls); // a certificate nobody vouches for
    untrusted.put_file("alice", "pics", "a.png", kPng);
    const std::vector<LinkTarget> targets = {
        {refusing.url("/a.png"), ".png", ""},
        {silent.url("/a.png"), ".png", ""},
        {untrusted.download_url("alice", "pics", "a.png"), ".png", ""},
        {"https://no-such-host.invalid/a.png", ".png", ""},
        {"file:///etc/passwd", ".png", ""},
    };
    LinkCheckOptions options;
    options.timeout_seconds = 1;
    EXPECT_EQ(check(targets, options), std::vector<LinkStatus>(targets.size(), LinkStatus::failed));
    EXPECT_EQ(untrusted.requests().size(), 0u);
}

TEST_F(LinkCheckTest, WhatTheServiceDoesToRawAddressesIsSeenThrough) {
    // Raw addresses redirect to a host of their own that serves the bytes.
    service.set_raw_host("localhost");
    const LinkTarget small = put("small.png", picture(kPng, 500));
    const LinkTarget large = put("large.png", picture(kPng, 3000));
    EXPECT_EQ(check_one(small), LinkStatus::valid);
    std::vector<std::string> hosts;
    for (const test::ServiceRequest& request : service.requests())
        hosts.push_back(request.header("Host").substr(0, request.header("Host").find(':')));
    EXPECT_EQ(hosts, (std::vector<std::string>{"127.0.0.1", "localhost"}));

    // Large files redirect visitors who are not signed in to the sign-in page.
    service.set_sign_in_above(1000);
    EXPECT_EQ(check(std::vector<LinkTarget>{small, large}),
              (std::vector<LinkStatus>{LinkStatus::valid, LinkStatus::abnormal}));
    EXPECT_EQ(service.count_requests("GET", "/login"), 1u);

    // Visitors coming from another site get the service's icon; its own pages do not.
    service.set_icon_for_foreign_referer(true);
    LinkCheckOptions blog;
    blog.referer = "https://blog.example/2024/post.html";
    EXPECT_EQ(check_one(small, blog), LinkStatus::abnormal);
    EXPECT_EQ(service.requests().back().header("Referer"), "https://blog.example/2024/post.html");
    LinkCheckOptions own;
    own.referer = service.base();
    EXPECT_EQ(check_one(small, own), LinkStatus::valid);
    EXPECT_EQ(check_one(small), LinkStatus::valid);
}

TEST_F(LinkCheckTest, RedirectsAreFollowedForFiveHopsAndNeverDownToPlainHttp) {
    const LinkTarget picture_target = put("p.png", picture(kPng, 100));
    auto chain = [&](const std::string& name, int hops) {
        for (int i = 0; i < hops; ++i) {
            const std::string next = i + 1 < hops ? name + std::to_string(i + 1) : "p.png";
            service.preset_answer("GET", raw_path(i == 0 ? name : name + std::to_string(i)), redirect(raw(next)));
        }
        return LinkTarget{utf8_to_gbk(raw(name)), ".png", ""};
    };
    EXPECT_EQ(check_one(chain("five", 5)), LinkStatus::valid);
    EXPECT_EQ(check_one(chain("six", 6)), LinkStatus::abnormal);
    EXPECT_EQ(service.count_requests("GET", raw_path("six5")), 1u);
    EXPECT_EQ(service.count_requests("GET", raw_path("p.png")), 1u); // the sixth hop was not taken

    // A picture that is only served over plain http would be blocked on a secure page.
    TestService plain;
    plain.put_file("alice", "pics", "p.png", picture(kPng, 100));
    service.preset_answer("GET", raw_path("down.png"), redirect(plain.download_url("alice", "pics", "p.png")));
    EXPECT_EQ(check_one({utf8_to_gbk(raw("down.png")), ".png", ""}), LinkStatus::abnormal);
    EXPECT_EQ(plain.requests().size(), 0u);
    // Up from plain http is fine.
    plain.preset_answer("GET", "/up.png", redirect(raw("p.png")));
    EXPECT_EQ(check_one({plain.base() + "up.png", ".png", ""}), LinkStatus::valid);
}

TEST_F(LinkCheckTest, TheDeepCheckCatchesAPictureOfTheSameTypeWithOtherBytes) {
    LinkTarget swapped = put("swapped.png", picture(kPng, 50000, 'a'));
    swapped.digest = md5_hex(picture(kPng, 50000, 'b'));
    const LinkTarget exact = put("exact.png", picture(kPng, 50000, 'c'));
    EXPECT_EQ(check(std::vector<LinkTarget>{swapped, exact}),
              (std::vector<LinkStatus>{LinkStatus::valid, LinkStatus::valid}));
    LinkCheckOptions deep;
    deep.deep = true;
    EXPECT_EQ(check(std::vector<LinkTarget>{swapped, exact}, deep),
              (std::vector<LinkStatus>{LinkStatus::abnormal, LinkStatus::valid}));
}

TEST_F(LinkCheckTest, ChecksToOneHostShareAsManyConnectionsAsRunAtOnce) {
    std::vector<LinkTarget> targets;
    for (int i = 0; i < 1000; ++i)
        targets.push_back(put("p" + std::to_string(i) + ".png", picture(kPng, 6000 + i)));
    LinkCheckOptions fast;
    fast.per_host_rate = 0; // the host limit is tested on its own
    std::vector<LinkStatus> statuses = check(targets, fast);
    EXPECT_EQ(std::count(statuses.begin(), statuses.end(), LinkStatus::valid), 1000);
    EXPECT_EQ(service.requests().size(), 1000u);
    EXPECT_LE(service.connection_count(), 4u);

    service.forget_requests();
    LinkCheckOptions options = fast;
    options.jobs = 16;
    options.deep = true;
    statuses = check(std::vector<LinkTarget>(targets.begin(), targets.begin() + 200), options);
    EXPECT_EQ(std::count(statuses.begin(), statuses.end(), LinkStatus::valid), 200);
    EXPECT_LE(service.connection_count(), 16u);
}

TEST_F(LinkCheckTest, AStoppedCheckSendsNothingMoreAndReportsNothingMore) {
    service.set_raw_delay(std::chrono::seconds(20));
    std::vector<LinkTarget> targets;
    for (int i = 0; i < 10; ++i)
        targets.push_back(put("p" + std::to_string(i) + ".png", kPng));

    std::mutex mutex;
    std::condition_variable changed;
    int started = 0, finished = 0;
    LinkCheckEvents events;
    events.started = [&](std::size_t) {
        std::lock_guard lock(mutex);
        ++started;
        changed.notify_all();
    };
    events.finished = [&](std::size_t, LinkStatus) {
        std::lock_guard lock(mutex);
        ++finished;
    };
    LinkCheckOptions options;
    options.jobs = 3;
    LinkCheckJob job(targets, options, events);
    ASSERT_TRUE(job.running());
    ASSERT_TRUE(service.wait_for_requests(3));
    job.stop(); // the three answers are still 20 s away: stopping must not wait for them

    std::lock_guard lock(mutex);
    EXPECT_EQ(started, 3);
    EXPECT_EQ(finished, 0);
    EXPECT_EQ(service.requests().size(), 3u);
    service.stop();
    EXPECT_EQ(service.requests().size(), 3u);
    EXPECT_EQ(started, 3);
    EXPECT_EQ(finished, 0);
}

TEST_F(LinkCheckTest, ChecksRunningAtOnceShareOneLimitPerHost) {
    HostPacer pacer;
    std::vector<LinkTarget> targets;
    for (int i = 0; i < 15; ++i)
        targets.push_back(put("p" + std::to_string(i) + ".png", kPng));
    LinkCheckOptions options;
    options.per_host_rate = 10;
    options.jobs = 8;
    options.pacer = &pacer;
    const auto began = std::chrono::steady_clock::now();
    std::mutex mutex;
    std::vector<std::chrono::steady_clock::time_point> starts;
    auto checked = [&] {
        std::vector<LinkStatus> statuses(targets.size(), LinkStatus::pending);
        LinkCheckEvents events;
        events.started = [&](std::size_t) {
            std::lock_guard lock(mutex);
            starts.push_back(std::chrono::steady_clock::now());
        };
        events.finished = [&](std::size_t index, LinkStatus status) { statuses[index] = status; };
        check_links(targets, options, events);
        return statuses;
    };
    std::vector<LinkStatus> first, second;
    std::thread other([&] { first = checked(); });
    second = checked();
    other.join();
    // Spaced evenly, whichever check's turn it was: never two starts closer than a tenth of a second, which no
    // burst at the turn of a second would keep.
    ASSERT_EQ(starts.size(), 30u);
    std::sort(starts.begin(), starts.end());
    for (std::size_t i = 1; i < starts.size(); ++i)
        EXPECT_GE(starts[i] - starts[i - 1], std::chrono::milliseconds(100)) << i;
    EXPECT_EQ(first, std::vector<LinkStatus>(targets.size(), LinkStatus::valid));
    EXPECT_EQ(second, first);
    const std::vector<test::ServiceRequest> requests = service.requests();
    ASSERT_EQ(requests.size(), 30u);
    // Ten turns a second for the two checks together: the last of thirty cannot go out before 2.9 s have passed.
    // (When requests reach the stand-in depends on how busy the machine is; the starts above do not.)
    EXPECT_GE(requests.back().received - began, std::chrono::milliseconds(2900));

    // Another host has turns of its own.
    HostPacer::Turn turn = pacer.take("elsewhere.example", 10);
    EXPECT_TRUE(turn.granted);
}

TEST_F(LinkCheckTest, AHostHeldBackDoesNotHoldUpTheChecksOfOtherHosts) {
    TestService held, free;
    ASSERT_TRUE(held.running() && free.running());
    std::vector<LinkTarget> targets;
    for (int i = 0; i < 3; ++i) {
        held.put_file("alice", "pics", "h" + std::to_string(i) + ".png", kPng);
        targets.push_back({held.download_url("alice", "pics", "h" + std::to_string(i) + ".png"), ".png", ""});
    }
    for (int i = 0; i < 2; ++i) {
        free.put_file("alice", "pics", "f" + std::to_string(i) + ".png", kPng);
        targets.push_back({free.download_url("alice", "pics", "f" + std::to_string(i) + ".png"), ".png", ""});
    }
    // Asked for a minute's pause, as a 429 with Retry-After would; the other host is paced by the rate alone.
    HostPacer pacer;
    pacer.pause(host_of(targets[0].address), std::chrono::steady_clock::now() + std::chrono::minutes(1));

    std::mutex mutex;
    std::condition_variable changed;
    std::map<std::size_t, LinkStatus> finished;
    int started = 0;
    LinkCheckEvents events;
    events.started = [&](std::size_t) {
        std::lock_guard lock(mutex);
        ++started;
    };
    events.finished = [&](std::size_t index, LinkStatus status) {
        std::lock_guard lock(mutex);
        finished[index] = status;
        changed.notify_all();
    };
    LinkCheckOptions options;
    options.pacer = &pacer;
    options.jobs = 2;
    options.per_host_rate = 50;
    LinkCheckJob job(targets, options, events);
    ASSERT_TRUE(job.running());
    {
        std::unique_lock lock(mutex);
        EXPECT_TRUE(changed.wait_for(lock, std::chrono::seconds(20), [&] { return finished.size() == 2; }));
    }
    job.stop();
    std::lock_guard lock(mutex);
    EXPECT_EQ(finished, (std::map<std::size_t, LinkStatus>{{3, LinkStatus::valid}, {4, LinkStatus::valid}}));
    EXPECT_EQ(started, 2);
    EXPECT_EQ(held.requests().size(), 0u);
}

TEST_F(LinkCheckTest, AServiceAskingForAPauseGetsItAndTheCheckSaysSo) {
    const LinkTarget busy = put("busy.png", kPng);
    const LinkTarget other = put("other.png", kPng);
    ServiceAnswer slow_down = status_answer(429);
    slow_down.headers.push_back({"Retry-After", "1"});
    service.preset_answer("GET", raw_path("busy.png"), slow_down);

    HostPacer pacer;
    LinkCheckOptions options;
    options.pacer = &pacer;
    options.jobs = 1;
    std::vector<bool> waits;
    std::vector<LinkStatus> statuses(2, LinkStatus::pending);
    LinkCheckEvents events;
    events.finished = [&](std::size_t index, LinkStatus status) { statuses[index] = status; };
    events.host_wait = [&](bool waiting) { waits.push_back(waiting); };
    check_links({busy, other}, options, events);

    // The first answer asked for a second: nothing went to the host during it, then both were checked.
    EXPECT_EQ(statuses, (std::vector<LinkStatus>{LinkStatus::valid, LinkStatus::valid}));
    std::vector<test::ServiceRequest> requests = service.requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[1].path, raw_path("busy.png"));
    EXPECT_GE(requests[1].received - requests[0].received, std::chrono::milliseconds(900));
    EXPECT_EQ(waits, (std::vector<bool>{true, false}));

    // A pause asked as a date, and one far longer than the bound, which is all that is waited; an address that
    // keeps asking ends with the answer it got.
    service.forget_requests();
    ServiceAnswer unavailable = status_answer(503);
    unavailable.headers.push_back({"Retry-After", "Fri, 31 Dec 9999 23:59:59 GMT"});
    for (int i = 0; i <= kLinkCheckRetries; ++i)
        service.preset_answer("GET", raw_path("busy.png"), unavailable);
    options.longest_pause_seconds = 0;
    const auto start = std::chrono::steady_clock::now();
    statuses.assign(2, LinkStatus::pending);
    check_links({busy, other}, options, events);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_EQ(statuses, (std::vector<LinkStatus>{LinkStatus::abnormal, LinkStatus::valid}));
    EXPECT_EQ(service.count_requests("GET", raw_path("busy.png")), 1u + kLinkCheckRetries);
}
