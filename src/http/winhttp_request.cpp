#include "http/winhttp_request.h"

#include <curl/curl.h>

#include <memory>

#include "http/curl_exchange.h"
#include "http/header_text.h"
#include "runtime/codepage.h"
#include "runtime/gbk_text.h"
#include "script/regex.h"

namespace velpic {

namespace {

// The fixed failure texts, GBK.
const char kUrlFailed[] = "701 \xBD\xE2\xCE\xF6URL\xB5\xD8\xD6\xB7\xCA\xA7\xB0\xDC!";
const char kSessionFailed[] = "702 \xB4\xB4\xBD\xA8WinHttp\xBB\xE1\xBB\xB0\xCA\xA7\xB0\xDC!";
const char kHeadersFailed[] = "710 \xC9\xE8\xD6\xC3\xD0\xAD\xD2\xE9\xCD\xB7\xCA\xA7\xB0\xDC!";
const char kSendFailed[] = "711 \xB7\xA2\xCB\xCD\xC7\xEB\xC7\xF3\xCA\xA7\xB0\xDC!";
const char kNoResponse[] = "712 \xB7\xFE\xCE\xF1\xC6\xF7\xCE\xB4\xCF\xEC\xD3\xA6!";
const char kReadFailed[] = "713 \xB6\xC1\xC8\xA1\xCA\xFD\xBE\xDD\xCA\xA7\xB0\xDC!";

const char kCharsetPattern[] = "<meta.+?charset=[^\\w]?([-\\w]+)";

struct DefaultHeader {
    const char* search;
    const char* line;
    bool post_only;
};

const DefaultHeader kDefaultHeaders[] = {
    {"User-Agent: ", "User-Agent: Mozilla/5.0 (compatible; MSIE 9.0; Windows NT 6.1; WOW64; Trident/5.0)", false},
    {"Accept: ", "Accept: text/html, application/xhtml+xml, */*", false},
    {"Accept-Encoding: ", "Accept-Encoding: identity", false},
    {"Accept-Language: ", "Accept-Language: zh-cn", false},
    {"Content-Type:", "Content-Type: application/x-www-form-urlencoded", true},
    {"Cache-Control: ", "Cache-Control: no-cache", false},
};

struct UrlDeleter {
    void operator()(CURLU* url) const { curl_url_cleanup(url); }
};

std::string url_part(CURLU* url, CURLUPart part) {
    char* value = nullptr;
    if (curl_url_get(url, part, &value, 0) != CURLUE_OK || value == nullptr)
        return {};
    std::string text(value);
    curl_free(value);
    return text;
}

// Splits an absolute http or https address; the object name is the path (at least "/") with query and fragment.
bool crack_url(const std::string& url, CurlExchangeRequest& request) {
    std::unique_ptr<CURLU, UrlDeleter> parsed(curl_url());
    // The address travels as UTF-8, with spaces and other unsafe bytes %-encoded.
    std::string encoded = percent_encode_unsafe(to_utf8(url));
    if (!parsed || curl_url_set(parsed.get(), CURLUPART_URL, encoded.c_str(), CURLU_PATH_AS_IS) != CURLUE_OK)
        return false;
    std::string scheme = url_part(parsed.get(), CURLUPART_SCHEME);
    if (scheme != "http" && scheme != "https")
        return false;
    request.secure = scheme == "https";
    request.host = url_part(parsed.get(), CURLUPART_HOST);
    if (request.host.empty())
        return false;
    std::string port = url_part(parsed.get(), CURLUPART_PORT);
    request.port = port.empty() ? 0 : static_cast<int>(text_to_integer(port));
    request.target = url_part(parsed.get(), CURLUPART_PATH);
    if (request.target.empty())
        request.target = "/";
    std::string query = url_part(parsed.get(), CURLUPART_QUERY);
    if (!query.empty())
        request.target += "?" + query;
    std::string fragment = url_part(parsed.get(), CURLUPART_FRAGMENT);
    if (!fragment.empty())
        request.target += "#" + fragment;
    return true;
}

std::string header_block(const WinHttpRequestOptions& options) {
    std::string block;
    if (!options.extra_headers.empty())
        block = options.extra_headers + "\r\n";
    if (options.complete_headers) {
        for (const DefaultHeader& row : kDefaultHeaders) {
            if (row.post_only && options.method != kHttpPost)
                continue;
            if (text_find(block, row.search, 1, true) < 1)
                block += std::string(row.line) + "\r\n";
        }
    }
    if (options.normalize_header_names)
        block = capitalize_header_names(block);
    if (text_find(block, "Connection") >= 1 && header_value(block, "Connection") == "keep-alive")
        block = text_replace(block, "Connection: keep-alive\r\n", "", 1, -1, true);
    if (text_find(block, "Cookie:", 1, true) < 1 && !options.send_cookies.empty()) {
        if (text_find(options.send_cookies, "Cookie:", 1, true) >= 1)
            block += "\r\n" + options.send_cookies + "\r\n";
        else
            block += "\r\nCookie: " + options.send_cookies + "\r\n";
    }
    return block;
}

// Re-decodes the body when a meta tag near its start declares a charset other than GBK.
std::string correct_charset(const std::string& text, const std::string& body) {
    Regex regex;
    if (!regex.execute(kCharsetPattern, std::string_view(text).substr(0, 1024)))
        return text;
    std::string charset = regex.submatch_text(1, 1);
    if (charset.empty() || charset == "gbk" || charset == "gb2312")
        return text;
    std::string_view bytes = body;
    // A decoder of the declared charset drops a UTF-8 byte-order mark instead of turning it into a character.
    if (text_lower(charset) == "utf-8" && bytes.substr(0, 3) == "\xEF\xBB\xBF")
        bytes.remove_prefix(3);
    std::string decoded;
    if (!charset_to_gbk(bytes, charset, decoded))
        return text;
    return text_up_to_nul(decoded);
}

// The engine's own failure before anything went out: the fixed text, and its words without the code.
std::string fail_before_sending(WinHttpResponse& response, const char* text) {
    response.status_text = text;
    response.complete = false;
    response.failure_reason = text + 4;
    if (!response.failure_reason.empty() && response.failure_reason.back() == '!')
        response.failure_reason.pop_back();
    return {};
}

} // namespace

std::string winhttp_request(const std::string& url, const WinHttpRequestOptions& options, WinHttpResponse& response) {
    CurlExchangeRequest request;
    if (!crack_url(url, request))
        return fail_before_sending(response, kUrlFailed);
    request.method = options.method;
    request.follow_redirects = !options.no_redirect;
    request.redirect_to_http = false; // the platform's default policy never leaves https for plain http
    request.timeout_seconds = options.timeout_seconds;
    request.proxy = options.proxy;
    request.server_user = options.server_user;
    request.server_password = options.server_password;
    request.proxy_user = options.proxy_user;
    request.proxy_password = options.proxy_password;
    request.verify_tls = options.verify_tls;
    request.max_body_bytes = options.max_body_bytes;

    // Only whole "Name: value" lines go out; what the platform's header parser would refuse fails here.
    for (const std::string& line : text_split(header_block(options), "\r\n")) {
        if (line.empty())
            continue;
        if (!is_sendable_header_line(line))
            return fail_before_sending(response, kHeadersFailed);
        request.header_lines.push_back(line);
    }

    // The body is handed over as it is: a picture's body is never copied on its way to the connection.
    request.body = options.body_bytes.empty() ? options.body_text : options.body_bytes;
    request.streamed_body = options.body_stream;
    const bool has_body = options.body_stream != nullptr ? options.body_stream->size() > 0 : !request.body.empty();
    request.send_body = has_body || options.method == kHttpPost || options.method == kHttpPut;

    CurlExchangeResult result = curl_exchange(request);
    response.complete = result.complete;
    response.failure_reason = result.failure_reason;
    switch (result.failure) {
    case CurlExchangeFailure::setup:
        return fail_before_sending(response, kSessionFailed);
    case CurlExchangeFailure::connect:
        response.status_text = kSendFailed;
        return {};
    case CurlExchangeFailure::no_response:
        response.status_text = kNoResponse;
        return {};
    case CurlExchangeFailure::body:
        response.status_text = kReadFailed; // the status line below takes its place
        break;
    case CurlExchangeFailure::none:
        break;
    }

    response.response_headers = result.headers;
    if (result.headers.size() >= 10) {
        std::size_t end = result.headers.find("\r\n", 9);
        response.status_text = result.headers.substr(9, end == std::string::npos ? std::string::npos : end - 9);
    } else {
        response.status_text.clear();
    }

    // Appending to a list the caller left without a separator would fuse two cookies into one.
    std::string cookies;
    for (const std::string& line : text_split(result.headers, "\r\n")) {
        if (text_before(line, ": ") == "Set-Cookie") {
            std::string cookie = text_find(line, ";") >= 1 ? text_between(line, "Set-Cookie:", ";")
                                                           : text_replace(line, "Set-Cookie:", "", 1, -1, false);
            cookies += text_trim(cookie) + "; ";
        }
        if (line.size() >= 10 && text_lower(line.substr(0, 10)) == "location: ")
            response.redirect_location = line.substr(10);
    }
    if (!cookies.empty()) {
        std::string& returned = response.returned_cookies;
        if (!returned.empty() && returned.back() == ';')
            returned += " ";
        else if (!returned.empty() && (returned.size() < 2 || returned.compare(returned.size() - 2, 2, "; ") != 0))
            returned += "; ";
        returned += cookies;
    }
    if (response.returned_cookies.size() >= 2 &&
        response.returned_cookies.compare(response.returned_cookies.size() - 2, 2, "; ") == 0)
        response.returned_cookies.resize(response.returned_cookies.size() - 2);
    if (options.merge_cookies && !options.send_cookies.empty())
        response.returned_cookies = merge_cookie_lists(options.send_cookies, response.returned_cookies);

    response.response_body = result.body;
    std::string text = text_up_to_nul(result.body);
    return correct_charset(text, result.body);
}

std::string winhttp_request(const std::string& url, const WinHttpRequestOptions& options) {
    WinHttpResponse response;
    return winhttp_request(url, options, response);
}

std::string winhttp_request(const std::string& url, int method, const std::string& body_text,
                            const std::string& send_cookies, std::string& returned_cookies,
                            const std::string& extra_headers, std::string& response_headers, bool no_redirect,
                            const std::string& server_user, const std::string& server_password,
                            const std::string& proxy, const std::string& proxy_user, const std::string& proxy_password,
                            int timeout_seconds, std::string& redirect_location, std::string& status_text,
                            std::string& response_body, bool merge_cookies, bool complete_headers,
                            const std::string& body_bytes, bool normalize_header_names, bool verify_tls) {
    WinHttpRequestOptions options;
    options.method = method;
    options.body_text = body_text;
    options.send_cookies = send_cookies;
    options.extra_headers = extra_headers;
    options.no_redirect = no_redirect;
    options.server_user = server_user;
    options.server_password = server_password;
    options.proxy = proxy;
    options.proxy_user = proxy_user;
    options.proxy_password = proxy_password;
    options.timeout_seconds = timeout_seconds;
    options.merge_cookies = merge_cookies;
    options.complete_headers = complete_headers;
    options.body_bytes = body_bytes;
    options.normalize_header_names = normalize_header_names;
    options.verify_tls = verify_tls;
    WinHttpResponse response;
    response.returned_cookies = returned_cookies;
    response.response_headers = response_headers;
    response.redirect_location = redirect_location;
    response.status_text = status_text;
    response.response_body = response_body;
    std::string result = winhttp_request(url, options, response);
    returned_cookies = std::move(response.returned_cookies);
    response_headers = std::move(response.response_headers);
    redirect_location = std::move(response.redirect_location);
    status_text = std::move(response.status_text);
    response_body = std::move(response.response_body);
    return result;
}

} // namespace velpic
