// One HTTP or HTTPS exchange returning the body as bytes. It reports nothing: a failure gives an empty (or partial)
// body, and the caller reads the status from response_headers.
#pragma once

#include <optional>
#include <string>

#include "http/http_method.h"

namespace velpic {

struct WinInetRequestOptions {
    int method = kHttpGet; // HttpMethod; other values send "GET"; GET never sends a body
    std::string body_text;
    std::optional<std::string> send_cookies; // given (even empty): no cookie store, and merged when merge_cookies
    std::string extra_headers;               // lines separated by CR LF; a User-Agent line chooses the agent
    bool no_redirect = false;
    std::string body_bytes; // preferred over body_text when not empty
    std::string proxy;      // empty: direct (environment proxies are ignored too)
    bool merge_cookies = true;
    bool complete_headers = true;
    bool normalize_header_names = true;
    bool socks_proxy = false; // proxy names a SOCKS (v4) proxy
    // Off: certificate errors never stop a request. On: the peer certificate and host name must verify against
    // the system CAs plus the bundle named by VELPIC_CA_FILE, or nothing is sent; a redirect from https to plain
    // http is then not followed (the redirect answer is the result).
    bool verify_tls = false;
    int timeout_seconds = 0; // below 1: 30 s; limits connecting and every stall while transferring
    // Above 0: a longer answer body is cut there and the answer is not complete.
    std::size_t max_body_bytes = 0;
};

// Outputs; untouched when the request could not even be set up (an address without a usable host).
struct WinInetResponse {
    std::string returned_cookies; // cookies of the final answer, merged with send_cookies when asked
    std::string response_headers; // raw headers, or 5000 spaces when there are none or they need 5000 bytes or more
    std::string body_bytes;       // for a method other than GET: the body that was sent
    // Written whenever a request was set up: the whole answer arrived (head and body to its end), and if not, why
    // in words for the user (GBK). The routine itself still reports nothing; callers that must know ask here.
    bool complete = false;
    std::string failure_reason;
};

std::string wininet_request(const std::string& url, const WinInetRequestOptions& options, WinInetResponse& response);
std::string wininet_request(const std::string& url, const WinInetRequestOptions& options = {});

// The same with every parameter in its traditional order; body_bytes is in/out.
std::string wininet_request(const std::string& url, int method, const std::string& body_text,
                            const std::optional<std::string>& send_cookies, std::string& returned_cookies,
                            const std::string& extra_headers, std::string& response_headers, bool no_redirect,
                            std::string& body_bytes, const std::string& proxy, bool merge_cookies = true,
                            bool complete_headers = true, bool normalize_header_names = true, bool socks_proxy = false,
                            bool verify_tls = false, int timeout_seconds = 0);

} // namespace velpic
