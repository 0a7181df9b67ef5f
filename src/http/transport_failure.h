// Why an exchange failed, in words a user understands (GBK), from what the transport reported.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace velpic {

struct TransportFailure {
    int curl_code = 0;             // CURLcode of the transfer
    bool request_started = false;  // the connection stood and the request began to go out
    bool idle_timeout = false;     // ended by the idle limit
    bool head_incomplete = false;  // an answer began but its head never ended
    std::size_t body_limit = 0;    // above 0: the body went past this many bytes and was cut
    bool redirect_to_http = false; // a redirect from https to plain http was not followed
};

// "无法连接到服务器", "连接超时", "证书验证失败", …; empty when nothing went wrong.
std::string transport_failure_text(const TransportFailure& failure);

// The functions below take and give UTF-8: what other programs say (libcurl, OpenSSL, a service) reaches a Chinese
// message only after a Chinese reason, shortened, in brackets.

// One line of at most max_chars characters (a cut one ends in "…"): an HTML page gives its title, or its text
// without tags; runs of white space become one space.
std::string shortened_original(std::string_view text, std::size_t max_chars = 100);
// "reason（original shortened）", or the reason alone when there is no original.
std::string reason_with_original(std::string_view reason, std::string_view original);
// The Chinese reason of a failed transfer from its CURLcode, with libcurl's own error text (its error buffer,
// which carries OpenSSL's words) in brackets.
std::string curl_failure_reason(int curl_code, std::string_view curl_text, bool request_started = false);
// The Chinese reason of an answer with a failing HTTP status, the service's message in brackets after the
// status: a token that is wrong or expired is said as such whatever the status.
std::string http_failure_reason(int status, std::string_view message);

} // namespace velpic
