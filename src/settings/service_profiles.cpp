#include "settings/service_profiles.h"

#include "runtime/codepage.h"
#include "settings/secret_store.h"
#include "settings/stored_secret.h"

#include <cstdlib>

namespace velpic {

namespace {

constexpr const char* key_branch = "Branch";
constexpr const char* key_service_url = "ServiceUrl";
constexpr const char* key_address_prefix = "AddressPrefix";

bool usable_branch(const std::string& branch) {
    for (unsigned char c : branch)
        if (c <= 0x20 || c == 0x7F || c == '?' || c == '#' || c == '%' || c == '\\')
            return false;
    return branch.find("..") == std::string::npos && !branch.starts_with("/") && !branch.ends_with("/");
}

} // namespace

const std::string& profile_section(ServiceKind service) {
    static const std::string sections[] = {utf8_to_gbk("Gitee配置"), utf8_to_gbk("GitHub配置"),
                                           utf8_to_gbk("Gitea配置")};
    return sections[static_cast<int>(service)];
}

const std::string& service_section() {
    static const std::string section = utf8_to_gbk("图床服务");
    return section;
}

ServiceKind read_active_service(const IniDocument& file) {
    return service_kind_named(file.value(service_section(), "Service")).value_or(ServiceKind::gitee);
}

RepositoryProfile read_service_profile(const IniDocument& file, ServiceKind service) {
    const std::string& section = profile_section(service);
    RepositoryProfile profile;
    profile.service = service;
    profile.owner = file.value(section, "Owner");
    profile.repo = file.value(section, "Repo");
    profile.access_token = read_secret(file, section, "Access_Token");
    profile.branch = file.value(section, key_branch);
    profile.service_url = file.value(section, key_service_url);
    profile.address_prefix = file.value(section, key_address_prefix);
    return profile;
}

RepositoryProfile in_force(RepositoryProfile profile) {
    // A stand-in of the service (tests, trying the program) takes the place of whatever address is stored.
    if (const char* base = std::getenv("VELPIC_SERVICE_BASE"); base != nullptr && *base != '\0')
        profile.service_url = base;
    return profile;
}

RepositoryProfile read_active_profile(const IniDocument& file) {
    return in_force(read_service_profile(file, read_active_service(file)));
}

void append_profile_edits(const RepositoryProfile& profile, ServiceKind active, bool file_names_service,
                          std::deque<std::string>& storage, std::vector<IniEdit>& edits) {
    const std::string& section = profile_section(profile.service);
    storage.push_back(encode_stored_secret(profile.access_token));
    const std::string& token = storage.back();
    edits.push_back({section, "Owner", profile.owner});
    edits.push_back({section, "Repo", profile.repo});
    edits.push_back({section, "Access_Token", token});
    auto optional_value = [&](const char* key, const std::string& value) {
        edits.push_back({section, key, value.empty() ? std::nullopt : std::optional<std::string_view>(value)});
    };
    optional_value(key_branch, profile.branch);
    optional_value(key_service_url, profile.service_url);
    optional_value(key_address_prefix, profile.address_prefix);
    if (active != ServiceKind::gitee || file_names_service)
        edits.push_back({service_section(), "Service", service_name(active)});
}

std::string check_profile_values(const RepositoryProfile& profile) {
    if (profile.service == ServiceKind::gitea && profile.service_url.empty())
        return utf8_to_gbk("Gitea/Forgejo 需要服务地址（如 https://codeberg.org/）");
    if (!profile.service_url.empty())
        if (std::string problem = service_url_problem(profile.service_url); !problem.empty())
            return problem;
    if (!profile.address_prefix.empty())
        if (std::string problem = address_prefix_problem(profile.address_prefix); !problem.empty())
            return problem;
    if (!usable_branch(profile.branch))
        return utf8_to_gbk("分支名无效：") + profile.branch;
    return {};
}

} // namespace velpic
