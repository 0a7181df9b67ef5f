#include "upload/repository_profile.h"

#include "runtime/codepage.h"
#include "runtime/loopback_host.h"
#include "runtime/service_base.h"

namespace velpic {

namespace {

constexpr std::string_view kServiceNames[] = {"gitee", "github", "gitea"};

bool has_blank_or_control(std::string_view text) {
    for (unsigned char c : text)
        if (c <= 0x20 || c == 0x7F)
            return true;
    return false;
}

// The host of an http(s) address, without port or brackets; empty when there is none.
std::string host_of(std::string_view url) {
    const auto scheme_end = url.find("://");
    if (scheme_end == std::string_view::npos)
        return {};
    std::string_view rest = url.substr(scheme_end + 3);
    rest = rest.substr(0, rest.find_first_of("/?#"));
    if (rest.starts_with("[")) {
        const auto close = rest.find(']');
        return close == std::string_view::npos ? std::string() : std::string(rest.substr(1, close - 1));
    }
    return std::string(rest.substr(0, rest.find(':')));
}

// An http(s) address with a host, nothing that would hide where it goes (a user part), and no query or fragment.
std::string web_address_problem(const std::string& url, const char* what) {
    const bool web = url.starts_with("https://") || url.starts_with("http://");
    if (!web || has_blank_or_control(url) || host_of(url).empty() || url.find_first_of("?#@\\") != std::string::npos)
        return utf8_to_gbk(std::string(what) + "必须是 http:// 或 https:// 开头的地址，不含空格、“?”、“#”、“@”：") +
               url;
    return {};
}

std::string with_final_slash(std::string url) {
    if (!url.empty() && url.back() != '/')
        url.push_back('/');
    return url;
}

} // namespace

std::string_view service_name(ServiceKind kind) {
    return kServiceNames[static_cast<int>(kind)];
}

std::optional<ServiceKind> service_kind_named(std::string_view name) {
    for (int i = 0; i < 3; ++i)
        if (kServiceNames[i] == name)
            return static_cast<ServiceKind>(i);
    return std::nullopt;
}

std::string effective_service_url(const RepositoryProfile& profile) {
    if (!profile.service_url.empty())
        return with_final_slash(profile.service_url);
    switch (profile.service) {
    case ServiceKind::gitee:
        return service_base();
    case ServiceKind::github:
        return "https://api.github.com/";
    case ServiceKind::gitea:
        break;
    }
    return {};
}

std::string service_url_problem(const std::string& url) {
    return web_address_problem(url, "服务地址");
}

bool service_url_unencrypted(const std::string& url) {
    return url.starts_with("http://") && !is_loopback_host(host_of(url));
}

std::string unencrypted_service_url_warning() {
    return utf8_to_gbk("注意：服务地址以 http:// 开头，访问令牌将以明文传送，只在可信的网络中使用");
}

std::string address_prefix_problem(const std::string& prefix) {
    return web_address_problem(prefix, "链接前缀");
}

std::string normalized_address_prefix(const std::string& prefix) {
    return with_final_slash(prefix);
}

std::string file_address_prefix(const RepositoryProfile& profile, const std::string& raw_prefix) {
    return profile.address_prefix.empty() ? raw_prefix : normalized_address_prefix(profile.address_prefix);
}

} // namespace velpic
