// One complete HTTP or HTTPS exchange with text results. Every failure is reported in status_text as one of the
// fixed texts 700-713 (GBK) and gives the empty result; the HTTP status itself is never interpreted.
#pragma once

#include <string>

#include "http/http_method.h"
#include "http/request_body.h"

namespace velpic {

struct WinHttpRequestOptions {
    int method = kHttpGet;     // HttpMethod; other values send "GET"
    std::string body_text;     // sent as its bytes, no terminator
    std::string send_cookies;  // cookie list, or a whole line starting "Cookie:"
    std::string extra_headers; // lines separated by CR LF
    bool no_redirect = false;  // a redirect from https to plain http is never followed (the answer is the result)
    std::string server_user;   // Basic authentication, only when user and password are both given
    std::string server_password;
    std::string proxy; // host:port; empty: no proxy (environment proxies are ignored too)
    std::string proxy_user;
    std::string proxy_password;
    int timeout_seconds = 0;   // below 1: 30 s; limits connecting and every stall while sending or receiving
    bool merge_cookies = true; // merge send_cookies into returned_cookies after the exchange
    bool complete_headers = true;
    std::string body_bytes; // sent instead of body_text when not empty
    // Sent instead of both when set, produced while it goes out; it must outlive the call.
    const RequestBody* body_stream = nullptr;
    bool normalize_header_names = true;
    // Off: certificate errors never stop a request. On: the peer certificate and host name must verify against
    // the system CAs plus the bundle named by VELPIC_CA_FILE, or the request fails (711) before anything is sent.
    bool verify_tls = false;
    // Above 0: an answer body longer than this is cut there and the answer is not complete.
    std::size_t max_body_bytes = 0;
};

// Outputs. A field is written only when the exchange gets that far; otherwise it keeps what the caller put there.
struct WinHttpResponse {
    std::string returned_cookies;  // in/out: cookies set by the server are appended
    std::string response_headers;  // raw headers of the final answer, status line first, CR LF lines
    std::string redirect_location; // value of the last "Location: " line of the final answer
    std::string status_text;       // "200 OK", or the failure text
    std::string response_body;     // exactly as received
    // Always written. The whole answer arrived: its head and its body up to the declared length, the last chunk
    // or the end of the connection. A body cut short still gives its status line in status_text.
    bool complete = false;
    std::string failure_reason; // GBK, in words for the user: why the answer is missing or incomplete
};

// Result: the body as text (up to its first NUL, re-decoded to GBK when a meta tag in its first 1024 bytes
// declares another charset), or the empty text after a failure.
std::string winhttp_request(const std::string& url, const WinHttpRequestOptions& options, WinHttpResponse& response);
std::string winhttp_request(const std::string& url, const WinHttpRequestOptions& options = {});

// The same with every parameter in its traditional order.
std::string winhttp_request(const std::string& url, int method, const std::string& body_text,
                            const std::string& send_cookies, std::string& returned_cookies,
                            const std::string& extra_headers, std::string& response_headers, bool no_redirect,
                            const std::string& server_user, const std::string& server_password,
                            const std::string& proxy, const std::string& proxy_user, const std::string& proxy_password,
                            int timeout_seconds, std::string& redirect_location, std::string& status_text,
                            std::string& response_body, bool merge_cookies = true, bool complete_headers = true,
                            const std::string& body_bytes = {}, bool normalize_header_names = true,
                            bool verify_tls = false);

} // namespace velpic
