#include "http/wininet_request.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <atomic>
#include <cstdlib>

#include "support/https_server.h"
#include "support/raw_http_server.h"

namespace velpic {
namespace {

using test::RawAnswer;
using test::RawHttpServer;

const std::string kAgent = "User-Agent: Mozilla/4.0 (compatible; MSIE 9.0; Windows NT 6.1)\r\n";

std::string port_of(const RawHttpServer& server) {
    return std::to_string(server.port());
}

std::string request_line(const std::string& request) {
    return request.substr(0, request.find("\r\n"));
}

TEST(WinInetRequest, AddressRulesAndDefaultBlock) {
    RawHttpServer server;
    const std::string port = port_of(server);
    server.answer(RawHttpServer::response("200 OK", "", std::string("pic\0ture", 8)));
    // Scheme and host in capitals, no path: the lower-cased host, path "/"; the body comes back as bytes.
    const std::string url = "HTTP://LOCALHOST:" + port;
    EXPECT_EQ(wininet_request(url), std::string("pic\0ture", 8));
    EXPECT_EQ(server.last_request(), "GET / HTTP/1.1\r\nHost: localhost:" + port + "\r\nAccept: */*\r\nReferer: " +
                                         url + "\r\nAccept-Language: zh-cn\r\n" + kAgent + "\r\n");

    // Without a scheme it is plain HTTP; the path keeps its letters, query and fragment.
    wininet_request("127.0.0.1:" + port + "/Dir/X.png?b=1#c");
    EXPECT_EQ(request_line(server.last_request()), "GET /Dir/X.png?b=1#c HTTP/1.1");

    // Through a proxy the request line shows the address as split: a one-letter host also occurs in the scheme
    // and must not be taken for it; an https address goes to the lower-cased host on its port.
    WinInetRequestOptions via_proxy;
    via_proxy.complete_headers = false;
    via_proxy.proxy = "127.0.0.1:" + port;
    wininet_request("http://t/a?b=1#c", via_proxy);
    EXPECT_EQ(server.last_request(), "GET http://t/a?b=1#c HTTP/1.1\r\nHost: t\r\n" + kAgent + "\r\n");
    wininet_request("HTTPS://T:8443/A?b=1#c", via_proxy);
    EXPECT_EQ(request_line(server.last_request()), "CONNECT t:8443 HTTP/1.1");

    // The caller's agent replaces the default and is the only User-Agent line; POST adds the form type.
    WinInetRequestOptions options;
    options.method = kHttpPost;
    options.extra_headers = "user-agent: Picker/1.0\r\ncontent-type: text/plain";
    options.body_text = "a=1";
    WinInetResponse out;
    wininet_request(server.url("/p"), options, out);
    EXPECT_EQ(server.last_request(), "POST /p HTTP/1.1\r\nHost: 127.0.0.1:" + port +
                                         "\r\nUser-Agent: Picker/1.0\r\nContent-Type: text/plain\r\n"
                                         "Accept: */*\r\nReferer: " +
                                         server.url("/p") +
                                         "\r\nAccept-Language: zh-cn\r\nContent-Length: 3\r\n\r\na=1");
    EXPECT_EQ(out.body_bytes, "a=1");

    // A name in other letter case with normalisation off still names the agent, without taking other lines.
    options = {};
    options.normalize_header_names = false;
    options.complete_headers = false;
    options.extra_headers = "X-A: 1\r\nuser-agent: Lower";
    wininet_request(server.url(), options);
    EXPECT_EQ(server.last_request(),
              "GET / HTTP/1.1\r\nHost: 127.0.0.1:" + port + "\r\nX-A: 1\r\nUser-Agent: Lower\r\n\r\n");
}

TEST(WinInetRequest, BodiesFollowTheMethod) {
    RawHttpServer server;
    WinInetRequestOptions options;
    options.complete_headers = false;
    options.body_text = "ignored";
    WinInetResponse out;
    out.body_bytes = "untouched";
    wininet_request(server.url(), options, out);
    EXPECT_EQ(server.last_request(), "GET / HTTP/1.1\r\nHost: 127.0.0.1:" + port_of(server) + "\r\n" + kAgent + "\r\n");
    EXPECT_EQ(out.body_bytes, "untouched");

    options.method = kHttpPut;
    options.body_text = "{\"access_token\":\"t\"}";
    wininet_request(server.url("/clear"), options, out);
    EXPECT_EQ(server.last_request(), "PUT /clear HTTP/1.1\r\nHost: 127.0.0.1:" + port_of(server) + "\r\n" + kAgent +
                                         "Content-Length: 20\r\n\r\n" + options.body_text);
    EXPECT_EQ(out.body_bytes, options.body_text);

    options.method = 9; // outside the table: a GET
    wininet_request(server.url(), options);
    EXPECT_EQ(request_line(server.last_request()), "GET / HTTP/1.1");
}

TEST(WinInetRequest, CookiesSentParsedAndMerged) {
    RawHttpServer server;
    server.answer(RawHttpServer::response("200 OK", "Set-Cookie: a=1; Path=/\r\nSet-Cookie: b=2\r\n", "x"));
    WinInetRequestOptions options;
    options.complete_headers = false;
    WinInetResponse out;
    wininet_request(server.url(), options, out);
    EXPECT_EQ(out.returned_cookies, "a=1; b=2");

    // Given even empty, the list is merged; a Cookie line already in the block does not stop another one.
    options.send_cookies = "";
    wininet_request(server.url(), options, out);
    EXPECT_EQ(out.returned_cookies, "a=1; b=2");
    options.send_cookies = "b=0; c=3";
    options.extra_headers = "Cookie: z=1";
    wininet_request(server.url(), options, out);
    EXPECT_EQ(out.returned_cookies, "a=1; b=2; c=3");
    EXPECT_NE(server.last_request().find("\r\nCookie: z=1\r\nCookie: b=0; c=3\r\n"), std::string::npos);
    options.merge_cookies = false;
    wininet_request(server.url(), options, out);
    EXPECT_EQ(out.returned_cookies, "a=1; b=2");
}

TEST(WinInetRequest, HeaderBufferAndFailures) {
    RawHttpServer server;
    const std::string spaces(5000, ' ');
    auto head_of_size = [](std::size_t size) {
        std::string head = "HTTP/1.1 200 OK\r\nSet-Cookie: a=1\r\nContent-Length: 4\r\nX-Pad: ";
        head += std::string(size - head.size() - 4, 'p') + "\r\n\r\n";
        return head;
    };
    WinInetResponse out;
    server.answer(head_of_size(4999) + "body");
    EXPECT_EQ(wininet_request(server.url(), {}, out), "body");
    EXPECT_EQ(out.response_headers, head_of_size(4999));
    EXPECT_EQ(out.returned_cookies, "a=1");
    server.answer(head_of_size(5000) + "body");
    EXPECT_EQ(wininet_request(server.url(), {}, out), "body");
    EXPECT_EQ(out.response_headers, spaces);
    EXPECT_EQ(out.returned_cookies, "");

    // A failed send is not reported: empty body, a blank header buffer.
    test::RefusingPort refusing;
    out.returned_cookies = "old";
    EXPECT_EQ(wininet_request(refusing.url(), {}, out), "");
    EXPECT_EQ(out.response_headers, spaces);
    EXPECT_EQ(out.returned_cookies, "");

    // Line breaks smuggled into a header line, or into the address that becomes the Referer, are never sent.
    const std::size_t before = server.requests().size();
    WinInetRequestOptions split;
    split.extra_headers = "X-Split: 1\nInjected: 2";
    EXPECT_EQ(wininet_request(server.url(), split, out), "");
    EXPECT_EQ(out.response_headers, spaces);
    EXPECT_EQ(wininet_request(server.url("/a\r\nInjected: 1"), {}, out), "");
    EXPECT_EQ(server.requests().size(), before);

    WinInetRequestOptions short_wait;
    short_wait.timeout_seconds = 1;
    server.answer(RawAnswer::silent());
    EXPECT_EQ(wininet_request(server.url(), short_wait, out), "");
    EXPECT_EQ(out.response_headers, spaces);
    server.answer("HTTP/1.1 200 OK\r\nContent-Length: 9\r\n\r\nabc");
    EXPECT_EQ(wininet_request(server.url(), short_wait, out), "abc");
    EXPECT_EQ(out.response_headers, "HTTP/1.1 200 OK\r\nContent-Length: 9\r\n\r\n");

    // Without a host nothing is opened and nothing is written.
    out = {"keep", "keep", "keep", false, {}};
    EXPECT_EQ(wininet_request("http:///x", {}, out), "");
    EXPECT_EQ(out.response_headers, "keep");
    EXPECT_EQ(out.returned_cookies, "keep");
}

TEST(WinInetRequest, RedirectsAndNoRedirect) {
    RawHttpServer server;
    const std::string redirect = RawHttpServer::response("302 Found", "Location: /next\r\n", "moved");
    server.answer(redirect);
    server.answer(RawHttpServer::response("200 OK", "", "final"));
    WinInetResponse out;
    EXPECT_EQ(wininet_request(server.url("/a"), {}, out), "final");
    EXPECT_EQ(out.response_headers.substr(0, 17), "HTTP/1.1 200 OK\r\n");
    ASSERT_EQ(server.requests().size(), 2u);
    EXPECT_EQ(request_line(server.requests()[1]), "GET /next HTTP/1.1");

    server.answer(redirect);
    WinInetRequestOptions options;
    options.no_redirect = true;
    EXPECT_EQ(wininet_request(server.url("/a"), options, out), "moved");
    EXPECT_EQ(out.response_headers, redirect.substr(0, redirect.size() - 5));
    EXPECT_EQ(server.requests().size(), 3u);

    // A redirected PUT goes on with its verb and its body.
    server.answer(redirect);
    server.answer(RawHttpServer::response("204 No Content", "", ""));
    WinInetRequestOptions put;
    put.method = kHttpPut;
    put.complete_headers = false;
    put.body_text = "{\"access_token\":\"t\"}";
    wininet_request(server.url("/a"), put, out);
    EXPECT_EQ(out.response_headers.substr(0, 25), "HTTP/1.1 204 No Content\r\n");
    ASSERT_EQ(server.requests().size(), 5u);
    EXPECT_EQ(server.requests()[4], "PUT /next HTTP/1.1\r\nHost: 127.0.0.1:" + port_of(server) + "\r\n" + kAgent +
                                        "Content-Length: 20\r\n\r\n" + put.body_text);
}

TEST(WinInetRequest, SelfSignedCertificatesAndVerification) {
    test::HttpsServer server;
    std::atomic<int> served{0};
    server.server().Get("/pic.png", [&](const httplib::Request&, httplib::Response& response) {
        ++served;
        response.set_content(std::string("\x89PNG\0", 5), "image/png");
    });
    RawHttpServer plain;
    server.server().Put("/clear", [&](const httplib::Request&, httplib::Response& response) {
        response.status = 307;
        response.set_header("Location", plain.url("/open"));
    });
    ASSERT_TRUE(server.start());
    WinInetResponse out;
    EXPECT_EQ(wininet_request(server.url("/pic.png"), {}, out), std::string("\x89PNG\0", 5));
    EXPECT_EQ(out.response_headers.substr(0, 17), "HTTP/1.1 200 OK\r\n");

    WinInetRequestOptions options;
    options.verify_tls = true;
    unsetenv("VELPIC_CA_FILE");
    EXPECT_EQ(wininet_request(server.url("/pic.png"), options, out), "");
    EXPECT_EQ(out.response_headers, std::string(5000, ' '));
    EXPECT_EQ(served.load(), 1);
    setenv("VELPIC_CA_FILE", server.ca_file().c_str(), 1);
    EXPECT_EQ(wininet_request(server.url("/pic.png"), options, out), std::string("\x89PNG\0", 5));

    // A verified request is not sent on from https to plain http, where its body would travel in the clear.
    options.method = kHttpPut;
    options.body_text = "{\"access_token\":\"t\"}";
    wininet_request(server.url("/clear"), options, out);
    unsetenv("VELPIC_CA_FILE");
    EXPECT_EQ(out.response_headers.substr(0, 33), "HTTP/1.1 307 Temporary Redirect\r\n");
    EXPECT_TRUE(plain.requests().empty());
    EXPECT_EQ(served.load(), 2);
}

} // namespace
} // namespace velpic
