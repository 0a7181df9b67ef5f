#include "upload/contents_api.h"

#include "http/header_list.h"
#include "http/winhttp_request.h"
#include "runtime/codepage.h"
#include "runtime/gbk_text.h"
#include "runtime/service_base.h"
#include "script/script_json.h"

namespace velpic {

std::string repository_api_address(const std::string& owner, const std::string& repo) {
    return service_base() + "api/v5/repos/" + owner + "/" + repo;
}

std::string contents_endpoint(const std::string& owner, const std::string& repo, const std::string& path) {
    return repository_api_address(owner, repo) + "/contents/" + path;
}

std::string raw_address_prefix(const std::string& owner, const std::string& repo) {
    return service_base() + owner + "/" + repo + "/raw/master/";
}

std::string json_string_escape(std::string_view gbk) {
    static const char hex[] = "0123456789abcdef";
    std::string out;
    out.reserve(gbk.size());
    for (std::size_t i = 0; i < gbk.size(); ++i) {
        const auto byte = static_cast<unsigned char>(gbk[i]);
        const auto next = i + 1 < gbk.size() ? static_cast<unsigned char>(gbk[i + 1]) : 0;
        if (is_gbk_lead_byte(byte) && next >= 0x40 && next != 0x7F && next != 0xFF) {
            out += gbk.substr(i, 2);
            ++i;
        } else if (is_gbk_lead_byte(byte)) {
            // A lead byte without its trail byte would pair with whatever follows, even the backslash of an
            // escaped quote, and free that quote; it becomes "?" as the UTF-8 conversion would make it anyway.
            out += '?';
        } else if (byte == '"' || byte == '\\') {
            out += '\\';
            out += static_cast<char>(byte);
        } else if (byte == '\n') {
            out += "\\n";
        } else if (byte == '\r') {
            out += "\\r";
        } else if (byte == '\t') {
            out += "\\t";
        } else if (byte < 0x20) {
            out += "\\u00";
            out += hex[byte >> 4];
            out += hex[byte & 0x0F];
        } else {
            out += static_cast<char>(byte);
        }
    }
    return out;
}

std::string contents_request_body(const std::string& access_token, const std::string& content,
                                  const std::string& message) {
    // A token or a message holding a quote would otherwise end its string early and break the body.
    return "{\"access_token\":\"" + json_string_escape(access_token) + "\",\r\n\"content\":\"" +
           json_string_escape(content) + "\",\r\n\"message\":\"" + json_string_escape(message) + "\"}";
}

std::string contents_api_upload(const std::string& owner, const std::string& repo, const std::string& path,
                                const std::string& access_token, const std::string& content,
                                const std::string& message) {
    HeaderList headers;
    headers.add("Content-Type", "application/json;charset=UTF-8");
    headers.add("User-Agent", upload_user_agent);

    WinHttpRequestOptions options;
    options.method = kHttpPost;
    options.body_text = to_utf8(contents_request_body(access_token, content, message));
    options.extra_headers = headers.to_header_text();
    // The body carries the access token: it goes only to a server whose certificate verifies.
    options.verify_tls = true;
    std::string answer = winhttp_request(contents_endpoint(owner, repo, path), options);
    // The service answers in UTF-8 JSON; read as GBK, a Chinese refusal would reach the user garbled.
    if (is_valid_utf8(answer))
        answer = utf8_to_gbk(answer);

    ScriptJson json("da");
    json.parse(answer);
    const std::string address = json.get_text("content['download_url']");
    const std::string reason = json.get_text("message");
    if (!address.empty() && reason.empty())
        return address;
    if (address.empty() && !reason.empty())
        return reason;
    static const std::string unknown = utf8_to_gbk("错误未知：[");
    return unknown + answer + "]";
}

} // namespace velpic
