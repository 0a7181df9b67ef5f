// Requests that carry the access token: they go only to a server whose certificate verifies, never follow a
// redirect (307 and 308 would send the token on to whatever host the answer names), and read a bounded answer.
#pragma once

#include "http/request_body.h"

#include <cstddef>
#include <string>

namespace velpic {

// The most an API answer may take; a longer one is cut and counts as no answer.
inline constexpr std::size_t kApiAnswerLimit = 1024 * 1024;
// The most the answer to a read may take: a file's lookup carries its bytes in Base64 (up to the picture limit of
// 100 MB), and a repository's root listing one entry per picture.
inline constexpr std::size_t kApiReadLimit = 150 * 1024 * 1024;

struct TokenAnswer {
    bool complete = false; // a whole answer arrived, and it is not a redirect
    int status = 0;        // its HTTP status
    std::string text;      // its body as GBK text (a UTF-8 body is converted)
    std::string headers;   // its raw head, status line first, CR LF lines (also for an incomplete answer)
    std::string reason;    // GBK: why there is no complete answer
    // The request went out but no whole answer came back: the service may have done what was asked.
    bool outcome_unknown = false;
};

// method: an HttpMethod; body: the bytes to send (UTF-8 JSON, or empty), taken over without a copy; answer_limit:
// kApiAnswerLimit, or kApiReadLimit for reads.
TokenAnswer send_token_request(const std::string& url, int method, std::string body, const std::string& extra_headers,
                               std::size_t answer_limit = kApiAnswerLimit);
// The same with a body produced while it is sent (a picture's create-file body is never held whole).
TokenAnswer send_token_request(const std::string& url, int method, const RequestBody& body,
                               const std::string& extra_headers);

// "服务器要求转到 <target>，请求带有访问令牌，没有跟随" (GBK), with control bytes of the target made visible.
std::string token_redirect_reason(const std::string& target);

// Text from outside with every control byte shown as \xNN, so that it stays one line wherever it is shown.
std::string visible_text(const std::string& text);

} // namespace velpic
