// Which hosting service holds the pictures, and the repository there: one profile per service in the settings, so
// switching back and forth loses nothing and a move can read its target's token.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace velpic {

enum class ServiceKind { gitee, github, gitea };

// "gitee", "github", "gitea": the names of the setting `service` and of `move --to SERVICE:OWNER/REPO`.
std::string_view service_name(ServiceKind kind);
std::optional<ServiceKind> service_kind_named(std::string_view name);

struct RepositoryProfile {
    ServiceKind service = ServiceKind::gitee;
    std::string owner; // GBK, as the settings hold names
    std::string repo;
    std::string access_token; // plain
    // Empty: gitee's "master"; github's and gitea's default branch, asked of the service once.
    std::string branch;
    // The service's address ("https://gitee.com/", "https://api.github.com/", "https://codeberg.org/"), ending in
    // "/". Empty: gitee's and github's own address (gitee's as VELPIC_SERVICE_BASE replaces it); gitea has none.
    std::string service_url;
    // A user's own domain or CDN in front of the repository: the address shown, copied and recorded is this prefix
    // followed by the file name. Empty: the service's raw-file address.
    std::string address_prefix;

    bool known() const { return !owner.empty() && !repo.empty() && !access_token.empty(); }
};

// The profile's service address as requests use it: the stored one, else the service's own (gitee: service_base()),
// always ending in "/"; empty for gitea without one.
std::string effective_service_url(const RepositoryProfile& profile);

// Why the service address cannot be used (GBK), or empty: not http(s), control bytes or blanks, a user or password
// in it, a query or fragment.
std::string service_url_problem(const std::string& url);
// Whether a service address sends the token in the clear: plain http to a host that is not a loopback address.
bool service_url_unencrypted(const std::string& url);
// "…令牌将以明文传送…" (GBK), the warning config set and the settings page give for such an address.
std::string unencrypted_service_url_warning();
// Why an address prefix cannot be used (GBK), or empty: an http(s) address without blanks, control bytes, query or
// fragment; a missing final "/" is added by normalized_address_prefix.
std::string address_prefix_problem(const std::string& prefix);
std::string normalized_address_prefix(const std::string& prefix);
// What the addresses of the profile's files start with: its address prefix when set, else raw_prefix (the service's
// raw-file address of the repository's branch).
std::string file_address_prefix(const RepositoryProfile& profile, const std::string& raw_prefix);

} // namespace velpic
