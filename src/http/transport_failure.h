// Why an exchange failed, in words a user understands (GBK), from what the transport reported.
#pragma once

#include <cstddef>
#include <string>

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

} // namespace velpic
