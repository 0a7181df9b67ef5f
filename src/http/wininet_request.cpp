#include "http/wininet_request.h"

#include "http/curl_exchange.h"
#include "http/header_text.h"
#include "runtime/codepage.h"
#include "runtime/gbk_text.h"

#include <algorithm>

namespace velpic {

namespace {

const char kDefaultAgent[] = "Mozilla/4.0 (compatible; MSIE 9.0; Windows NT 6.1)";
// The fixed header buffer: heads that do not fit (terminator included) are not returned.
constexpr std::size_t kHeaderBufferSize = 5000;

struct Endpoint {
    bool secure = false;
    std::string host;
    int port = 0;
    std::string path;
};

// Host and port come from the lower-cased address, the path from the address as written.
Endpoint split_url(const std::string& url) {
    Endpoint endpoint;
    std::string lower = text_lower(url);
    endpoint.secure = lower.compare(0, 8, "https://") == 0;
    if (lower.empty() || lower.back() != '/')
        lower += "/";
    std::string host_port;
    long host_from = 1; // where the host stands in url; a host such as "h" also occurs inside the scheme
    if (lower.compare(0, 8, "https://") == 0) {
        host_port = text_between(lower, "https://", "/");
        host_from = 9;
    } else {
        long scheme_at = text_find(lower, "http://");
        if (scheme_at < 1)
            lower.insert(0, "http://");
        else
            host_from = scheme_at + 7;
        host_port = text_between(lower, "http://", "/");
    }
    long colon = text_find(host_port, ":");
    endpoint.host = colon >= 1 ? host_port.substr(0, static_cast<std::size_t>(colon - 1)) : host_port;
    long last_colon = text_find_backward(host_port, ":");
    if (last_colon >= 1)
        endpoint.port = static_cast<int>(text_to_integer(host_port.substr(static_cast<std::size_t>(last_colon))));
    else
        endpoint.port = lower.compare(0, 5, "https") == 0 ? 443 : 80;
    endpoint.path = "/";
    long host_at = endpoint.host.empty() ? -1 : text_find(url, endpoint.host, host_from, true);
    if (host_at >= 1) {
        long slash = text_find(url, "/", host_at);
        if (slash >= 1)
            endpoint.path = url.substr(static_cast<std::size_t>(slash - 1));
    }
    return endpoint;
}

// The agent named by the block's User-Agent line, or the default when there is none.
std::string choose_agent(const std::string& block) {
    if (text_find(block, "User-Agent:", 1, true) < 1)
        return kDefaultAgent;
    std::string agent = text_trim(text_between(block + "\r\n", "User-Agent:", "\r\n"));
    if (!agent.empty())
        return agent;
    // A name in other letter case: take that line's value rather than text from other lines.
    for (const std::string& line : text_split(block, "\r\n")) {
        if (text_lower(text_before(line, ":")) == "user-agent") {
            agent = text_trim(line.substr(line.find(':') + 1));
            if (!agent.empty())
                return agent;
        }
    }
    long colon = text_find(block, ":");
    if (colon < 1)
        return {};
    std::string rest = block.substr(static_cast<std::size_t>(colon));
    return text_trim(rest.substr(0, rest.find("\r\n")));
}

std::string parse_cookies(const std::string& headers) {
    std::string cookies;
    for (const std::string& line : text_split(headers, "\r\n")) {
        if (text_before(line, ": ") != "Set-Cookie")
            continue;
        std::string cookie = text_find(line, ";") < 1 ? text_replace(line, "Set-Cookie:", "", 1, -1, false)
                                                      : text_between(line, "Set-Cookie:", ";");
        cookies += text_trim(cookie) + "; ";
    }
    if (cookies.size() >= 2)
        cookies.resize(cookies.size() - 2);
    return cookies;
}

} // namespace

std::string wininet_request(const std::string& url, const WinInetRequestOptions& options, WinInetResponse& response) {
    std::string block =
        options.normalize_header_names ? capitalize_header_names(options.extra_headers) : options.extra_headers;
    int method = options.method >= 0 && options.method <= 7 ? options.method : kHttpGet;
    std::string agent = choose_agent(block);

    Endpoint endpoint = split_url(url);
    CurlExchangeRequest request;
    request.secure = endpoint.secure;
    request.host = endpoint.host;
    request.port = endpoint.port > 0 && endpoint.port <= 65535 ? endpoint.port : (endpoint.secure ? 443 : 80);
    request.target = endpoint.path;
    request.method = method;
    request.follow_redirects = !options.no_redirect;
    request.redirect_to_http = !options.verify_tls; // a verified request never carries its body off https
    request.timeout_seconds = options.timeout_seconds;
    request.max_body_bytes = options.max_body_bytes;
    request.proxy = options.proxy;
    request.socks_proxy = options.socks_proxy;
    request.verify_tls = options.verify_tls;

    if (options.complete_headers) {
        if (block.empty())
            block = "Accept: */*";
        if (text_find(block, "Accept:", 1, true) < 1)
            block += "\r\nAccept: */*";
        if (text_find(block, "Referer:", 1, true) < 1)
            block += "\r\nReferer: " + url;
        if (text_find(block, "Accept-Language:", 1, true) < 1)
            block += "\r\nAccept-Language: zh-cn";
        if (method == kHttpPost && text_find(block, "Content-Type:", 1, true) < 1)
            block += "\r\nContent-Type: application/x-www-form-urlencoded";
    }
    if (options.send_cookies && !options.send_cookies->empty()) {
        if (text_find(*options.send_cookies, "Cookie:") >= 1)
            block += "\r\n" + *options.send_cookies;
        else
            block += "\r\nCookie: " + *options.send_cookies;
    }

    // The agent is the session's: it replaces the block's own User-Agent lines and is sent exactly once.
    // Control bytes in the address would otherwise split the Referer line into lines of the address's choosing.
    bool sendable = std::none_of(url.begin(), url.end(), [](unsigned char c) { return c < 0x20 || c == 0x7F; });
    bool agent_placed = false;
    for (const std::string& line : text_split(block, "\r\n")) {
        if (line.empty())
            continue;
        if (text_lower(text_before(line, ":")) == "user-agent") {
            if (!agent_placed && !agent.empty())
                request.header_lines.push_back("User-Agent: " + agent);
            agent_placed = true;
            continue;
        }
        sendable = sendable && is_sendable_header_line(line);
        request.header_lines.push_back(line);
    }
    if (!agent_placed && !agent.empty())
        request.header_lines.push_back("User-Agent: " + agent);
    if (!is_sendable_header_line("User-Agent: " + agent))
        sendable = false;

    std::string sent_body;
    if (method != kHttpGet) {
        sent_body = options.body_bytes.empty() ? options.body_text : options.body_bytes;
        request.body = sent_body;
        request.send_body = !sent_body.empty() || method == kHttpPost || method == kHttpPut;
    }

    // A block the platform would refuse is never sent: that looks like any other failed send.
    CurlExchangeResult result;
    result.failure = CurlExchangeFailure::connect;
    result.failure_reason = utf8_to_gbk("请求头或地址含有不能发送的字符");
    if (sendable)
        result = curl_exchange(request);
    if (result.failure == CurlExchangeFailure::setup)
        return {};
    response.complete = result.complete;
    response.failure_reason = result.failure_reason;

    if (method != kHttpGet)
        response.body_bytes = sent_body;
    bool head_usable = result.headers_complete &&
                       (result.failure == CurlExchangeFailure::none || result.failure == CurlExchangeFailure::body);
    if (head_usable && result.headers.size() + 1 <= kHeaderBufferSize)
        response.response_headers = text_up_to_nul(result.headers);
    else
        response.response_headers = std::string(kHeaderBufferSize, ' ');
    response.returned_cookies = parse_cookies(response.response_headers);
    if (options.merge_cookies && options.send_cookies)
        response.returned_cookies = merge_cookie_lists(*options.send_cookies, response.returned_cookies);
    return result.body;
}

std::string wininet_request(const std::string& url, const WinInetRequestOptions& options) {
    WinInetResponse response;
    return wininet_request(url, options, response);
}

std::string wininet_request(const std::string& url, int method, const std::string& body_text,
                            const std::optional<std::string>& send_cookies, std::string& returned_cookies,
                            const std::string& extra_headers, std::string& response_headers, bool no_redirect,
                            std::string& body_bytes, const std::string& proxy, bool merge_cookies,
                            bool complete_headers, bool normalize_header_names, bool socks_proxy, bool verify_tls,
                            int timeout_seconds) {
    WinInetRequestOptions options;
    options.method = method;
    options.body_text = body_text;
    options.send_cookies = send_cookies;
    options.extra_headers = extra_headers;
    options.no_redirect = no_redirect;
    options.body_bytes = body_bytes;
    options.proxy = proxy;
    options.merge_cookies = merge_cookies;
    options.complete_headers = complete_headers;
    options.normalize_header_names = normalize_header_names;
    options.socks_proxy = socks_proxy;
    options.verify_tls = verify_tls;
    options.timeout_seconds = timeout_seconds;
    WinInetResponse response;
    response.returned_cookies = returned_cookies;
    response.response_headers = response_headers;
    response.body_bytes = body_bytes;
    std::string body = wininet_request(url, options, response);
    returned_cookies = std::move(response.returned_cookies);
    response_headers = std::move(response.response_headers);
    body_bytes = std::move(response.body_bytes);
    return body;
}

} // namespace velpic
