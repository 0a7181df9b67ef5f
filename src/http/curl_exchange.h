// The libcurl transport under both request routines: sends exactly the header lines it is given (libcurl adds only
// Host, Content-Length and, with credentials, Authorization) and reports how far the exchange got.
#pragma once

#include "http/request_body.h"

#include <string>
#include <string_view>
#include <vector>

namespace velpic {

struct CurlExchangeRequest {
    bool secure = false;
    std::string host;   // name or address, without port
    int port = 0;       // 0: the scheme's default
    std::string target; // path, query and fragment as they go on the request line; unsafe bytes are %-encoded
    int method = 0;     // HttpMethod
    bool send_body = false;
    std::string_view body; // not copied: the caller keeps it alive for the exchange
    // When set, sent instead of body, read piece by piece as the connection takes it; the caller keeps it alive.
    const RequestBody* streamed_body = nullptr;
    std::vector<std::string> header_lines; // "Name: value", sent in this order
    bool follow_redirects = true;
    // False: a redirect from https to plain http is not followed; its answer is the result.
    bool redirect_to_http = true;
    int timeout_seconds = 0;        // below 1: 30; limits connecting, and any stretch without a byte moving
    std::size_t max_body_bytes = 0; // above 0: a longer answer body is cut there and the answer is incomplete
    std::string proxy;              // host:port; empty: none
    bool socks_proxy = false;
    std::string server_user, server_password, proxy_user, proxy_password; // Basic, used when both are given
    bool verify_tls = false;
};

enum class CurlExchangeFailure {
    none,
    setup,       // the request could not be built (bad host, no libcurl)
    connect,     // resolving, connecting, the TLS handshake or sending the request failed
    no_response, // no complete answer head: time-out, connection closed, bad reply, failed redirect
    body,        // the answer head arrived but reading the body failed
};

struct CurlExchangeResult {
    CurlExchangeFailure failure = CurlExchangeFailure::setup;
    std::string headers; // raw head of the last answer (status line first, CR LF lines, blank line at the end)
    bool headers_complete = false;
    std::string body;
    // The whole answer arrived: a complete head and the body to its declared end (length, last chunk, or the end of
    // the connection when the answer declares neither).
    bool complete = false;
    // GBK words for the user when not complete, libcurl's own shortened in brackets after them; empty when complete
    std::string failure_reason;
};

CurlExchangeResult curl_exchange(const CurlExchangeRequest& request);

// Bytes below 0x21, 0x7F and above as %XX (upper-case hex); everything else unchanged.
std::string percent_encode_unsafe(const std::string& text);

// A header line libcurl may be handed: a token name, ":", and no control bytes but tab in the value.
bool is_sendable_header_line(const std::string& line);

} // namespace velpic
