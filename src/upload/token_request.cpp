#include "upload/token_request.h"

#include "http/winhttp_request.h"
#include "runtime/codepage.h"
#include "runtime/gbk_text.h"

#include <cctype>

namespace velpic {

namespace {

// The status code of an answer's status text ("201 Created"), 0 for an engine failure text or anything else.
int status_code(const std::string& status_text, bool answered) {
    if (!answered || status_text.size() < 3)
        return 0;
    for (int i = 0; i < 3; ++i)
        if (!std::isdigit(static_cast<unsigned char>(status_text[static_cast<std::size_t>(i)])))
            return 0;
    return std::stoi(status_text.substr(0, 3));
}

TokenAnswer send_with(const std::string& url, WinHttpRequestOptions& options, const std::string& extra_headers,
                      std::size_t answer_limit = kApiAnswerLimit) {
    options.extra_headers = extra_headers;
    options.verify_tls = true;
    options.no_redirect = true;
    options.max_body_bytes = answer_limit;
    WinHttpResponse response;
    std::string text = winhttp_request(url, options, response);

    TokenAnswer answer;
    const bool answered = !response.response_headers.empty();
    answer.status = status_code(response.status_text, answered);
    answer.headers = response.response_headers;
    if (answered && answer.status >= 300 && answer.status < 400) {
        answer.reason = token_redirect_reason(response.redirect_location);
        return answer;
    }
    if (!response.complete) {
        answer.reason = response.failure_reason.empty() ? response.status_text : response.failure_reason;
        // 711 and the engine's own refusals come before anything reaches the service.
        answer.outcome_unknown = answered || text_starts_with(response.status_text, "712 ");
        return answer;
    }
    answer.complete = true;
    // The service answers in UTF-8 JSON; read as GBK, a Chinese refusal would reach the user garbled.
    answer.text = is_valid_utf8(text) ? utf8_to_gbk(text) : std::move(text);
    return answer;
}

} // namespace

std::string visible_text(const std::string& text) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (unsigned char c : text) {
        if (c < 0x20 || c == 0x7F) {
            out += "\\x";
            out += hex[c >> 4];
            out += hex[c & 15];
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

std::string token_redirect_reason(const std::string& target) {
    return utf8_to_gbk("服务器要求转到 ") + visible_text(target) + utf8_to_gbk("，请求带有访问令牌，没有跟随");
}

TokenAnswer send_token_request(const std::string& url, int method, std::string body, const std::string& extra_headers,
                               std::size_t answer_limit) {
    WinHttpRequestOptions options;
    options.method = method;
    options.body_text = std::move(body);
    return send_with(url, options, extra_headers, answer_limit);
}

TokenAnswer send_token_request(const std::string& url, int method, const RequestBody& body,
                               const std::string& extra_headers) {
    WinHttpRequestOptions options;
    options.method = method;
    options.body_stream = &body;
    return send_with(url, options, extra_headers);
}

} // namespace velpic
