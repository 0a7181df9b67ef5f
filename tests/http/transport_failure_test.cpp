// What other programs say (libcurl, OpenSSL, a service) reaches a Chinese message after a Chinese reason, short.
#include "http/transport_failure.h"

#include <curl/curl.h>
#include <gtest/gtest.h>

#include <string>

using namespace velpic;

namespace {

std::size_t characters(const std::string& utf8) {
    std::size_t n = 0;
    for (const char c : utf8)
        n += (static_cast<unsigned char>(c) & 0xC0) != 0x80 ? 1 : 0;
    return n;
}

TEST(TransportFailureText, LibcurlAndOpensslTextsComeAfterAChineseReason) {
    struct Case {
        int code;
        const char* text;
        const char* expected;
    };
    const Case cases[] = {
        {CURLE_COULDNT_CONNECT, "Failed to connect to 127.0.0.1 port 1 after 0 ms: Couldn't connect to server",
         "无法连接到服务器（Failed to connect to 127.0.0.1 port 1 after 0 ms: Couldn't connect to server）"},
        {CURLE_OPERATION_TIMEDOUT, "Connection timed out after 15001 milliseconds",
         "连接超时（Connection timed out after 15001 milliseconds）"},
        {CURLE_COULDNT_RESOLVE_HOST, "Could not resolve host: no-such.invalid",
         "无法解析主机名（Could not resolve host: no-such.invalid）"},
        {CURLE_PEER_FAILED_VERIFICATION, "SSL certificate problem: self-signed certificate",
         "证书验证失败（SSL certificate problem: self-signed certificate）"},
        {CURLE_SSL_CONNECT_ERROR, "error:0A00010B:SSL routines::wrong version number",
         "安全连接（TLS）建立失败（error:0A00010B:SSL routines::wrong version number）"},
        // A code without words of its own is still told by what OpenSSL said.
        {CURLE_RECV_ERROR + 1000, "OpenSSL SSL_read: error:0A000126:SSL routines::unexpected eof",
         "安全连接（TLS）建立失败（OpenSSL SSL_read: error:0A000126:SSL routines::unexpected eof）"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(curl_failure_reason(c.code, c.text), c.expected) << c.text;
    // An empty error buffer: libcurl's text for the code.
    EXPECT_EQ(curl_failure_reason(CURLE_COULDNT_CONNECT, ""),
              std::string("无法连接到服务器（") + curl_easy_strerror(CURLE_COULDNT_CONNECT) + "）");
    const std::string unknown = curl_failure_reason(CURLE_BAD_CONTENT_ENCODING, "Unrecognized content encoding");
    EXPECT_TRUE(unknown.starts_with("网络错误（libcurl 61: Unrecognized")) << unknown;
}

TEST(TransportFailureText, AServicesRefusalIsSaidInChineseWithItsStatusAndMessage) {
    struct Case {
        int status;
        const char* message;
        const char* expected;
    };
    const Case cases[] = {
        {401, "Access token is expired", "访问令牌已过期（HTTP 401：Access token is expired）"},
        {401, "401 Unauthorized: Access token does not exist",
         "访问令牌错误或已失效（HTTP 401：401 Unauthorized: Access token does not exist）"},
        {401, "Bad credentials", "访问令牌错误或已失效（HTTP 401：Bad credentials）"},
        // Some services refuse a bad token with another status.
        {400, "invalid access_token", "访问令牌错误或已失效（HTTP 400：invalid access_token）"},
        {403, "Resource not accessible by integration",
         "没有权限（令牌的权限不足或仓库拒绝写入）（HTTP 403：Resource not accessible by integration）"},
        {404, "Not Found", "找不到仓库或文件（HTTP 404：Not Found）"},
        {429, "", "请求过于频繁，服务要求稍候（HTTP 429）"},
        {502, "Bad Gateway", "服务器出错（HTTP 502：Bad Gateway）"},
        {400, "Bad Request", "服务器拒绝了请求（HTTP 400：Bad Request）"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(http_failure_reason(c.status, c.message), c.expected) << c.status << " " << c.message;
}

TEST(TransportFailureText, AnHtmlPageIsNeverShownWhole) {
    std::string page = "<!DOCTYPE html>\n<html><head><style>body{color:red}</style>\n<title>502 Bad Gateway</title>"
                       "</head><body><script>var x = '<b>';</script><h1>502 Bad Gateway</h1>";
    page += std::string(20000, 'x') + "</body></html>";
    EXPECT_EQ(shortened_original(page), "502 Bad Gateway");
    EXPECT_EQ(http_failure_reason(502, page), "服务器出错（HTTP 502：502 Bad Gateway）");

    // Without a title: its text, without scripts, styles or tags, white space made one, cut short.
    const std::string untitled = "<html><body><style>p{}</style><script>alert(1)</script><p>Service\n\n  down</p>" +
                                 std::string(500, 'y') + "</body></html>";
    const std::string shown = shortened_original(untitled);
    EXPECT_TRUE(shown.starts_with("Service down y")) << shown;
    EXPECT_EQ(characters(shown), 101u); // 100 and the "…"
    EXPECT_TRUE(shown.ends_with("…"));
    EXPECT_EQ(shown.find('<'), std::string::npos);
}

TEST(TransportFailureText, ShorteningCountsCharactersAndNeverCutsOneInTwo) {
    const std::string chinese = "仓库不存在仓库不存在"; // 10 characters, 30 bytes
    EXPECT_EQ(shortened_original(chinese, 10), chinese);
    EXPECT_EQ(shortened_original(chinese, 4), "仓库不存…");
    EXPECT_EQ(shortened_original("a\tb\r\n\x01 c  ", 10), "a b c");
    EXPECT_EQ(reason_with_original("无法连接到服务器", " \n "), "无法连接到服务器");
}

} // namespace
