#include "http/winhttp_request.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <atomic>
#include <chrono>
#include <cstdlib>

#include "runtime/codepage.h"
#include "support/https_server.h"
#include "support/raw_http_server.h"
#include "support/test_service.h"

namespace velpic {
namespace {

using test::RawAnswer;
using test::RawHttpServer;

const std::string kDefaultLines =
    "User-Agent: Mozilla/5.0 (compatible; MSIE 9.0; Windows NT 6.1; WOW64; Trident/5.0)\r\n"
    "Accept: text/html, application/xhtml+xml, */*\r\n"
    "Accept-Encoding: identity\r\n"
    "Accept-Language: zh-cn\r\n";

std::string host_line(const RawHttpServer& server) {
    return "Host: 127.0.0.1:" + std::to_string(server.port()) + "\r\n";
}

TEST(WinHttpRequest, SendsTheAssembledHeaderBlockLineForLine) {
    RawHttpServer server;
    const std::string head = "HTTP/1.1 200 OK\r\nContent-Length: 5\r\nConnection: close\r\n\r\n";
    server.answer(head + "hello");
    WinHttpResponse out;
    EXPECT_EQ(winhttp_request(server.url("/a/b.png?x=1#frag"), {}, out), "hello");
    EXPECT_EQ(server.last_request(), "GET /a/b.png?x=1#frag HTTP/1.1\r\n" + host_line(server) + kDefaultLines +
                                         "Cache-Control: no-cache\r\n\r\n");
    EXPECT_EQ(out.status_text, "200 OK");
    EXPECT_EQ(out.response_headers, head);
    EXPECT_EQ(out.response_body, "hello");

    // A POST as the contents client sends it: its own lines first, the missing defaults after them.
    WinHttpRequestOptions post;
    post.method = kHttpPost;
    post.body_text = "{\"a\":1}";
    post.extra_headers = "content-type: application/json;charset=UTF-8\r\nuser-agent: X";
    winhttp_request("http://127.0.0.1:" + std::to_string(server.port()), post);
    EXPECT_EQ(server.last_request(), "POST / HTTP/1.1\r\n" + host_line(server) +
                                         "Content-Type: application/json;charset=UTF-8\r\nUser-Agent: X\r\n"
                                         "Accept: text/html, application/xhtml+xml, */*\r\n"
                                         "Accept-Encoding: identity\r\nAccept-Language: zh-cn\r\n"
                                         "Cache-Control: no-cache\r\nContent-Length: 7\r\n\r\n{\"a\":1}");

    // A POST without a type gets the form type; a PUT gets none and sends body_bytes over body_text.
    post.extra_headers.clear();
    post.body_text.clear();
    winhttp_request(server.url(), post);
    EXPECT_NE(server.last_request().find("Content-Type: application/x-www-form-urlencoded\r\nCache-Control: "
                                         "no-cache\r\nContent-Length: 0\r\n\r\n"),
              std::string::npos);
    // Over 1 MiB, where libcurl would otherwise ask for "Expect: 100-continue".
    WinHttpRequestOptions put;
    put.method = kHttpPut;
    put.body_text = "text";
    put.body_bytes = std::string(1100000, 'b') + std::string("\0y", 2);
    winhttp_request(server.url(), put);
    const std::string request = server.last_request();
    const std::size_t head_end = request.find("\r\n\r\n") + 4;
    EXPECT_EQ(request.substr(0, head_end), "PUT / HTTP/1.1\r\n" + host_line(server) + kDefaultLines +
                                               "Cache-Control: no-cache\r\nContent-Length: 1100002\r\n\r\n");
    EXPECT_TRUE(request.compare(head_end, std::string::npos, put.body_bytes) == 0);
}

TEST(WinHttpRequest, MethodNumbersAndHeaderOptions) {
    RawHttpServer server;
    auto request_line = [&](int method) {
        WinHttpRequestOptions options;
        options.method = method;
        winhttp_request(server.url(), options);
        std::string request = server.last_request();
        return request.substr(0, request.find("\r\n"));
    };
    EXPECT_EQ(request_line(9), "GET / HTTP/1.1");
    EXPECT_EQ(request_line(kHttpPatch), "PATCH / HTTP/1.1");
    EXPECT_EQ(request_line(-1), "GET / HTTP/1.1");
    EXPECT_EQ(request_line(kHttpHead), "HEAD / HTTP/1.1");
    EXPECT_EQ(request_line(kHttpOptions), "OPTIONS / HTTP/1.1");
    EXPECT_EQ(request_line(kHttpDelete), "DELETE / HTTP/1.1");

    auto sent_lines = [&](WinHttpRequestOptions options) {
        winhttp_request(server.url(), options);
        std::string request = server.last_request();
        std::size_t start = request.find("\r\n", request.find("Host: ")) + 2;
        return request.substr(start, request.size() - start - 2);
    };
    WinHttpRequestOptions bare;
    bare.complete_headers = false;
    bare.normalize_header_names = false;
    EXPECT_EQ(sent_lines(bare), "");

    // keep-alive is dropped once normalised; the case-exact search keeps the lower-case line, and close stays.
    WinHttpRequestOptions keep_alive;
    keep_alive.extra_headers = "connection: keep-alive";
    EXPECT_EQ(sent_lines(keep_alive), kDefaultLines + "Cache-Control: no-cache\r\n");
    keep_alive.normalize_header_names = false;
    EXPECT_EQ(sent_lines(keep_alive).substr(0, 24), "connection: keep-alive\r\n");
    keep_alive.extra_headers = "Connection: close";
    keep_alive.complete_headers = false;
    EXPECT_EQ(sent_lines(keep_alive), "Connection: close\r\n");
    // Normalised with nothing after it, the line has no CR LF of its own and so stays.
    keep_alive.extra_headers = "Connection: keep-alive";
    keep_alive.normalize_header_names = true;
    EXPECT_EQ(sent_lines(keep_alive), "Connection: keep-alive\r\n");

    WinHttpRequestOptions cookies;
    cookies.complete_headers = false;
    cookies.send_cookies = "a=1";
    EXPECT_EQ(sent_lines(cookies), "Cookie: a=1\r\n");
    cookies.send_cookies = "Cookie: a=1; b=2";
    EXPECT_EQ(sent_lines(cookies), "Cookie: a=1; b=2\r\n");
    cookies.extra_headers = "cookie: z=9";
    EXPECT_EQ(sent_lines(cookies), "Cookie: z=9\r\n");
}

TEST(WinHttpRequest, CredentialsAndProxyAreUsed) {
    RawHttpServer proxy;
    WinHttpRequestOptions options;
    options.complete_headers = false;
    options.proxy = "127.0.0.1:" + std::to_string(proxy.port());
    options.proxy_user = "pu";
    options.proxy_password = "pp";
    options.server_user = "su";
    options.server_password = "sp";
    winhttp_request("http://example.invalid/x?y", options);
    // The credentials of both kinds, and nothing of libcurl's own (no Proxy-Connection, no Accept).
    std::string request = proxy.last_request();
    for (const std::string line : {"Proxy-Authorization: Basic cHU6cHA=\r\n", "Authorization: Basic c3U6c3A=\r\n"}) {
        std::size_t at = request.find("\r\n" + line);
        ASSERT_NE(at, std::string::npos) << line;
        request.erase(at + 2, line.size());
    }
    EXPECT_EQ(request, "GET http://example.invalid/x?y HTTP/1.1\r\nHost: example.invalid\r\n\r\n");
}

TEST(WinHttpRequest, FailuresBeforeAnswerGiveTheirTextsAndLeaveOutputs) {
    const WinHttpResponse preset{"k=v", "headers", "loc", "status", "body", false, {}};
    auto failure = [&](const std::string& url, WinHttpRequestOptions options = {}) {
        WinHttpResponse out = preset;
        EXPECT_EQ(winhttp_request(url, options, out), "");
        EXPECT_EQ(out.returned_cookies, "k=v");
        EXPECT_EQ(out.response_headers, "headers");
        EXPECT_EQ(out.redirect_location, "loc");
        EXPECT_EQ(out.response_body, "body");
        return to_utf8(out.status_text);
    };
    EXPECT_EQ(failure("ftp://127.0.0.1/x"), "701 解析URL地址失败!");
    EXPECT_EQ(failure("127.0.0.1/x"), "701 解析URL地址失败!");
    EXPECT_EQ(failure("http://"), "701 解析URL地址失败!");

    RawHttpServer server;
    WinHttpRequestOptions refused;
    refused.normalize_header_names = false;
    refused.extra_headers = "X-Good: 1\r\ngarbage";
    EXPECT_EQ(failure(server.url(), refused), "710 设置协议头失败!");
    refused.normalize_header_names = true;
    refused.extra_headers = "Bad Name: 1";
    EXPECT_EQ(failure(server.url(), refused), "710 设置协议头失败!");
    refused.extra_headers = "X-Split: 1\nInjected: 2";
    EXPECT_EQ(failure(server.url(), refused), "710 设置协议头失败!");
    EXPECT_TRUE(server.requests().empty());

    test::RefusingPort refusing;
    EXPECT_EQ(failure(refusing.url()), "711 发送请求失败!");

    server.answer(RawAnswer::close_at_once());
    EXPECT_EQ(failure(server.url()), "712 服务器未响应!");
    server.answer("HTTP/1.1 200 OK\r\nContent-Length: 3\r\n"); // the head never ends
    EXPECT_EQ(failure(server.url()), "712 服务器未响应!");
    server.answer(RawAnswer::silent());
    WinHttpRequestOptions short_wait;
    short_wait.timeout_seconds = 1;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(failure(server.url(), short_wait), "712 服务器未响应!");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(8));
}

TEST(WinHttpRequest, BodyCutShortKeepsWhatArrivedAndTheRealStatus) {
    RawHttpServer server;
    const std::string head = "HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n";
    server.answer(head + "0123456789");
    WinHttpResponse out;
    EXPECT_EQ(winhttp_request(server.url(), {}, out), "0123456789");
    EXPECT_EQ(out.status_text, "200 OK"); // the read failure is overwritten by the status line
    EXPECT_EQ(out.response_headers, head);

    // A body that stalls half-way ends with the time-out the same way.
    server.answer(RawAnswer{head + "01234", RawAnswer::Then::hold});
    WinHttpRequestOptions short_wait;
    short_wait.timeout_seconds = 1;
    EXPECT_EQ(winhttp_request(server.url(), short_wait, out), "01234");
    EXPECT_EQ(out.response_body, "01234");
}

TEST(WinHttpRequest, OnlyAWholeAnswerIsComplete) {
    RawHttpServer server;
    // A head the server cut off is no answer at all, not an empty "200 OK".
    server.answer("HTTP/1.1 200 OK\r\nContent-Le");
    WinHttpResponse out;
    EXPECT_EQ(winhttp_request(server.url(), {}, out), "");
    EXPECT_EQ(to_utf8(out.status_text), "712 服务器未响应!");
    EXPECT_FALSE(out.complete);
    EXPECT_EQ(to_utf8(out.failure_reason), "服务器的回答不完整");

    // A body cut short keeps its status line for the callers that read it, but is not complete.
    server.answer("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n0123456789");
    EXPECT_EQ(winhttp_request(server.url(), {}, out), "0123456789");
    EXPECT_EQ(out.status_text, "200 OK");
    EXPECT_FALSE(out.complete);
    EXPECT_EQ(to_utf8(out.failure_reason), "服务器的回答不完整（transfer closed with 90 bytes remaining to read）");
    server.answer("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n");
    EXPECT_EQ(winhttp_request(server.url(), {}, out), "hello");
    EXPECT_FALSE(out.complete);

    // Whole answers, delimited by their length, their last chunk or the end of the connection.
    server.answer(RawHttpServer::response("200 OK", "", "whole"));
    EXPECT_EQ(winhttp_request(server.url(), {}, out), "whole");
    EXPECT_TRUE(out.complete);
    EXPECT_EQ(out.failure_reason, "");
    server.answer("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n");
    EXPECT_EQ(winhttp_request(server.url(), {}, out), "hello");
    EXPECT_TRUE(out.complete);
    server.answer("HTTP/1.1 200 OK\r\nConnection: close\r\n\r\nuntil the end");
    EXPECT_EQ(winhttp_request(server.url(), {}, out), "until the end");
    EXPECT_TRUE(out.complete);
}

TEST(WinHttpRequest, TheTimeOutIsAnIdleLimitNotAnAverageRate) {
    // One byte every 1.5 s never leaves the connection idle for the 2 s limit, however long the whole takes.
    test::TestService service;
    test::ServiceAnswer slow;
    slow.body = "abc";
    slow.delivery = test::Delivery::dripping(std::chrono::milliseconds(1500));
    service.preset_answer("GET", "/slow", slow);
    WinHttpRequestOptions options;
    options.timeout_seconds = 2;
    WinHttpResponse out;
    EXPECT_EQ(winhttp_request(service.base() + "slow", options, out), "abc");
    EXPECT_EQ(out.status_text, "200 OK");
    EXPECT_TRUE(out.complete);
}

// The program's own words, then libcurl's (OpenSSL's among them) in brackets: "无法连接到服务器（Failed to …）".
TEST(WinHttpRequest, FailuresWithoutAnAnswerSayWhyInWordsThenLibcurlsOwn) {
    auto reason = [](const std::string& url, WinHttpRequestOptions options = {}) {
        WinHttpResponse out;
        EXPECT_EQ(winhttp_request(url, options, out), "");
        EXPECT_FALSE(out.complete);
        return to_utf8(out.failure_reason);
    };
    const auto expect_reason = [](const std::string& reason, const std::string& words, const std::string& original) {
        EXPECT_TRUE(reason.starts_with(words + "（") && reason.ends_with("）")) << reason;
        EXPECT_NE(reason.find(original), std::string::npos) << reason;
    };
    test::RefusingPort refusing;
    expect_reason(reason(refusing.url()), "无法连接到服务器", "Couldn't connect to server");
    expect_reason(reason("http://no-such-host.invalid/"), "无法解析主机名", "no-such-host.invalid");

    RawHttpServer server;
    server.answer(RawAnswer::silent());
    WinHttpRequestOptions short_wait;
    short_wait.timeout_seconds = 1;
    // The wait is the program's own limit: libcurl would only say that it was stopped.
    EXPECT_EQ(reason(server.url(), short_wait), "服务器响应超时");
    server.answer(RawAnswer::close_at_once());
    expect_reason(reason(server.url()), "服务器未回答就关闭了连接", "Empty reply from server");

    test::HttpsServer tls;
    ASSERT_TRUE(tls.start());
    unsetenv("VELPIC_CA_FILE");
    WinHttpRequestOptions verified;
    verified.verify_tls = true;
    expect_reason(reason(tls.url("/"), verified), "证书验证失败", "certificate");
}

TEST(WinHttpRequest, AnAnswerAboveTheBodyLimitIsCutAndNotComplete) {
    RawHttpServer server;
    WinHttpRequestOptions bounded;
    bounded.max_body_bytes = 1000;
    WinHttpResponse out;
    // Announced by its length, and only found out while reading.
    server.answer(RawHttpServer::response("200 OK", "", std::string(5000, 'x')));
    winhttp_request(server.url(), bounded, out);
    EXPECT_FALSE(out.complete);
    EXPECT_LE(out.response_body.size(), 1000u);
    EXPECT_EQ(to_utf8(out.failure_reason), "服务器的回答超过 1000 字节的上限");
    server.answer("HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n" + std::string(5000, 'x'));
    winhttp_request(server.url(), bounded, out);
    EXPECT_FALSE(out.complete);
    EXPECT_LE(out.response_body.size(), 1000u);
    EXPECT_EQ(to_utf8(out.failure_reason), "服务器的回答超过 1000 字节的上限");

    server.answer(RawHttpServer::response("200 OK", "", std::string(1000, 'x')));
    EXPECT_EQ(winhttp_request(server.url(), bounded, out), std::string(1000, 'x'));
    EXPECT_TRUE(out.complete);
}

TEST(WinHttpRequest, ReadsStatusCookiesAndLocation) {
    RawHttpServer server;
    server.answer("HTTP/1.1 404 Not Found\r\nSet-Cookie: a=1; Path=/\r\nSet-Cookie: b=2\r\nset-cookie: c=3\r\n"
                  "Content-Length: 4\r\nConnection: close\r\n\r\ngone");
    WinHttpResponse out;
    EXPECT_EQ(winhttp_request(server.url(), {}, out), "gone");
    EXPECT_EQ(out.status_text, "404 Not Found");
    EXPECT_EQ(out.returned_cookies, "a=1; b=2");

    // Appended to what the caller holds (with a separator), then merged with what was sent.
    out.returned_cookies = "x=9";
    WinHttpRequestOptions options;
    options.send_cookies = "b=0; z=5";
    winhttp_request(server.url(), options, out);
    EXPECT_EQ(out.returned_cookies, "x=9; a=1; b=2; z=5");

    // Redirects are followed and only the final answer is reported; no_redirect keeps the 302 itself.
    const std::string redirect = "HTTP/1.1 302 Found\r\nLocation: /next\r\nContent-Length: 3\r\nConnection: close"
                                 "\r\n\r\nold";
    RawHttpServer chain;
    chain.answer(redirect);
    chain.answer(RawHttpServer::response("200 OK", "", "final"));
    WinHttpResponse followed;
    EXPECT_EQ(winhttp_request(chain.url("/first"), {}, followed), "final");
    EXPECT_EQ(followed.redirect_location, "");
    EXPECT_EQ(followed.status_text, "200 OK");
    ASSERT_EQ(chain.requests().size(), 2u);
    EXPECT_EQ(chain.requests()[1].substr(0, 15), "GET /next HTTP/");

    RawHttpServer single;
    single.answer(redirect);
    WinHttpRequestOptions no_redirect;
    no_redirect.no_redirect = true;
    WinHttpResponse kept;
    EXPECT_EQ(winhttp_request(single.url(), no_redirect, kept), "old");
    EXPECT_EQ(kept.status_text, "302 Found");
    EXPECT_EQ(kept.redirect_location, "/next");
    EXPECT_EQ(kept.response_headers.substr(0, 20), "HTTP/1.1 302 Found\r\n");
    EXPECT_EQ(single.requests().size(), 1u);
}

TEST(WinHttpRequest, RedecodesBodiesThatDeclareAnotherCharset) {
    RawHttpServer server;
    auto fetch = [&](const std::string& body, WinHttpResponse* out = nullptr) {
        server.answer(RawHttpServer::response("200 OK", "", body));
        WinHttpResponse scratch;
        return winhttp_request(server.url(), {}, out != nullptr ? *out : scratch);
    };
    const std::string utf8_page = "<html><META http-equiv=\"Content-Type\" content=\"text/html; charset=UTF-8\">"
                                  "\xEF\xBB\xBF年</html>";
    EXPECT_EQ(fetch(utf8_page), utf8_to_gbk(utf8_page));
    const std::string gbk_page = "<meta charset=\"gbk\">\xC4\xEA";
    EXPECT_EQ(fetch(gbk_page), gbk_page);
    const std::string late = std::string(1100, ' ') + "<meta charset=utf-8>年";
    EXPECT_EQ(fetch(late), late);
    const std::string unknown = "<meta charset=x-no-such-set>\xC4\xEA";
    EXPECT_EQ(fetch(unknown), unknown);

    WinHttpResponse out;
    EXPECT_EQ(fetch(std::string("ab\0cd", 5), &out), "ab");
    EXPECT_EQ(out.response_body, std::string("ab\0cd", 5));
}

TEST(WinHttpRequest, SelfSignedCertificatesAndVerification) {
    test::HttpsServer server;
    std::atomic<int> served{0};
    server.server().Post("/api", [&](const httplib::Request& request, httplib::Response& response) {
        ++served;
        response.set_content("ok:" + request.body, "text/plain");
    });
    RawHttpServer plain;
    server.server().Post("/moved", [&](const httplib::Request&, httplib::Response& response) {
        response.status = 307;
        response.set_header("Location", plain.url("/open"));
    });
    ASSERT_TRUE(server.start());
    WinHttpRequestOptions options;
    options.method = kHttpPost;
    options.body_text = "access_token=secret";
    WinHttpResponse out;
    EXPECT_EQ(winhttp_request(server.url("/api"), options, out), "ok:access_token=secret");
    EXPECT_EQ(out.status_text, "200 OK");

    // Verified, the unknown certificate stops the request before the token goes out.
    options.verify_tls = true;
    unsetenv("VELPIC_CA_FILE");
    EXPECT_EQ(winhttp_request(server.url("/api"), options, out), "");
    EXPECT_EQ(to_utf8(out.status_text), "711 发送请求失败!");
    EXPECT_EQ(served.load(), 1);

    setenv("VELPIC_CA_FILE", server.ca_file().c_str(), 1);
    EXPECT_EQ(winhttp_request(server.url("/api"), options, out), "ok:access_token=secret");
    EXPECT_EQ(winhttp_request("https://localhost:" + std::to_string(server.port()) + "/api", options, out),
              "ok:access_token=secret");
    unsetenv("VELPIC_CA_FILE");
    EXPECT_EQ(served.load(), 3);

    // Sent on from https to plain http, the body would travel in the clear: the answer itself is the result.
    options.verify_tls = false;
    WinHttpResponse moved;
    winhttp_request(server.url("/moved"), options, moved);
    EXPECT_EQ(moved.status_text, "307 Temporary Redirect");
    EXPECT_EQ(moved.redirect_location, plain.url("/open"));
    EXPECT_TRUE(plain.requests().empty());
}

} // namespace
} // namespace velpic
