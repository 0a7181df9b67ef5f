#include "http/transport_failure.h"

#include <curl/curl.h>

#include "runtime/codepage.h"

#include <algorithm>
#include <cctype>
#include <initializer_list>

namespace velpic {

namespace {

const char* curl_failure_words(CURLcode code, bool request_started) {
    switch (code) {
    case CURLE_COULDNT_RESOLVE_HOST:
        return "无法解析主机名";
    case CURLE_COULDNT_RESOLVE_PROXY:
        return "无法解析代理服务器的主机名";
    case CURLE_COULDNT_CONNECT:
        return "无法连接到服务器";
    case CURLE_OPERATION_TIMEDOUT:
        return request_started ? "服务器响应超时" : "连接超时";
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_INVALIDCERTSTATUS:
    case CURLE_SSL_CERTPROBLEM:
        return "证书验证失败";
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_CIPHER:
        return "安全连接（TLS）建立失败";
    case CURLE_SEND_ERROR:
        return "发送请求失败";
    case CURLE_RECV_ERROR:
        return "接收数据失败";
    case CURLE_GOT_NOTHING:
        return "服务器未回答就关闭了连接";
    case CURLE_PARTIAL_FILE:
        return "服务器的回答不完整";
    case CURLE_WEIRD_SERVER_REPLY:
        return "服务器的回答无法识别";
    case CURLE_TOO_MANY_REDIRECTS:
        return "重定向次数过多";
    case CURLE_PROXY:
        return "代理服务器出错";
    default:
        return nullptr;
    }
}

std::string lower_ascii(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) { return std::tolower(c); });
    return out;
}

// The text between the tags of an HTML page, character references left as they are.
std::string text_of_html(std::string_view html) {
    const std::string lower = lower_ascii(html);
    if (const std::size_t open = lower.find("<title"); open != std::string::npos) {
        const std::size_t start = lower.find('>', open);
        const std::size_t end = start == std::string::npos ? start : lower.find("</title", start);
        if (end != std::string::npos && end > start + 1)
            return std::string(html.substr(start + 1, end - start - 1));
    }
    std::string out;
    bool in_tag = false;
    for (std::size_t i = 0; i < html.size(); ++i) {
        const char c = html[i];
        // What scripts and styles hold is not for a reader.
        if (!in_tag && c == '<' && (lower.compare(i, 7, "<script") == 0 || lower.compare(i, 6, "<style") == 0)) {
            const std::size_t end = lower.find(lower.compare(i, 7, "<script") == 0 ? "</script" : "</style", i);
            if (end == std::string::npos)
                break;
            i = end;
            in_tag = true;
            continue;
        }
        if (c == '<')
            in_tag = true;
        else if (c == '>' && in_tag) {
            in_tag = false;
            out += ' ';
        } else if (!in_tag)
            out += c;
    }
    return out;
}

bool looks_like_html(std::string_view text) {
    const std::string start = lower_ascii(text.substr(0, 512));
    return start.find("<!doctype html") != std::string::npos || start.find("<html") != std::string::npos ||
           start.find("<head") != std::string::npos || start.find("<body") != std::string::npos ||
           start.find("<p>") != std::string::npos || start.find("<h1") != std::string::npos;
}

bool contains(const std::string& lower, std::initializer_list<const char*> words) {
    return std::any_of(words.begin(), words.end(),
                       [&](const char* word) { return lower.find(word) != std::string::npos; });
}

} // namespace

std::string shortened_original(std::string_view text, std::size_t max_chars) {
    const std::string source = looks_like_html(text) ? text_of_html(text) : std::string(text);
    std::string line;
    for (const char c : source) {
        const bool space = c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v';
        if (space) {
            if (!line.empty() && line.back() != ' ')
                line += ' ';
        } else if (static_cast<unsigned char>(c) >= 0x20 && c != 0x7F) {
            line += c;
        }
    }
    while (!line.empty() && line.back() == ' ')
        line.pop_back();
    // Counted in characters: a UTF-8 sequence is never cut.
    std::size_t chars = 0;
    for (std::size_t i = 0; i < line.size(); ++i) {
        if ((static_cast<unsigned char>(line[i]) & 0xC0) == 0x80)
            continue;
        if (chars == max_chars) {
            line.resize(i);
            while (!line.empty() && line.back() == ' ')
                line.pop_back();
            return line + "…";
        }
        ++chars;
    }
    return line;
}

std::string reason_with_original(std::string_view reason, std::string_view original) {
    const std::string shown = shortened_original(original);
    if (shown.empty())
        return std::string(reason);
    return std::string(reason) + "（" + shown + "）";
}

std::string curl_failure_reason(int curl_code, std::string_view curl_text, bool request_started) {
    const auto code = static_cast<CURLcode>(curl_code);
    const std::string original = curl_text.empty() ? std::string(curl_easy_strerror(code)) : std::string(curl_text);
    const char* words = curl_failure_words(code, request_started);
    if (words == nullptr) {
        // OpenSSL's texts come under codes of their own in some libcurl versions.
        const std::string lower = lower_ascii(original);
        if (contains(lower, {"certificate", "cert verify", "self-signed", "self signed"}))
            words = "证书验证失败";
        else if (contains(lower, {"ssl", "tls"}))
            words = "安全连接（TLS）建立失败";
        else if (contains(lower, {"timed out", "timeout"}))
            words = "连接超时";
    }
    if (words == nullptr)
        return reason_with_original("网络错误", "libcurl " + std::to_string(curl_code) + ": " + original);
    return reason_with_original(words, original);
}

std::string http_failure_reason(int status, std::string_view message) {
    const std::string lower = lower_ascii(message);
    const bool token = contains(lower, {"token", "credential", "unauthori"});
    const char* words = nullptr;
    if (token && contains(lower, {"expire"}))
        words = "访问令牌已过期";
    else if (status == 401 || (token && contains(lower, {"not exist", "invalid", "bad", "wrong", "revoked"})))
        words = "访问令牌错误或已失效";
    else if (status == 403)
        words = "没有权限（令牌的权限不足或仓库拒绝写入）";
    else if (status == 404)
        words = "找不到仓库或文件";
    else if (status == 408 || status == 504)
        words = "服务器响应超时";
    else if (status == 409 || status == 422)
        words = "请求与仓库的现状冲突";
    else if (status == 413)
        words = "文件超过服务允许的大小";
    else if (status == 429)
        words = "请求过于频繁，服务要求稍候";
    else if (status >= 500)
        words = "服务器出错";
    else
        words = "服务器拒绝了请求";
    const std::string shown = shortened_original(message);
    return std::string(words) + "（HTTP " + std::to_string(status) + (shown.empty() ? "" : "：" + shown) + "）";
}

std::string transport_failure_text(const TransportFailure& failure) {
    if (failure.body_limit > 0)
        return utf8_to_gbk("服务器的回答超过 " + std::to_string(failure.body_limit) + " 字节的上限");
    if (failure.redirect_to_http)
        return utf8_to_gbk("没有跟随从 HTTPS 转到 HTTP 的重定向");
    if (failure.idle_timeout)
        return utf8_to_gbk(failure.request_started ? "服务器响应超时" : "连接超时");
    if (failure.head_incomplete)
        return utf8_to_gbk("服务器的回答不完整");
    const auto code = static_cast<CURLcode>(failure.curl_code);
    if (code == CURLE_OK)
        return {};
    if (const char* words = curl_failure_words(code, failure.request_started))
        return utf8_to_gbk(words);
    return utf8_to_gbk("网络错误（libcurl " + std::to_string(failure.curl_code) + "：" + curl_easy_strerror(code) +
                       "）");
}

} // namespace velpic
