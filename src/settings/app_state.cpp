#include "settings/app_state.h"

#include <utility>

namespace velpic {

UploadContext upload_context(const StateSnapshot& snapshot, const std::filesystem::path& program_dir) {
    UploadContext context;
    static_cast<RepositoryProfile&>(context) = snapshot.repository();
    context.record_mode = snapshot.record_mode;
    context.mysql = snapshot.mysql;
    context.machine_code = snapshot.machine_code;
    context.program_dir = program_dir;
    context.keep_archive = snapshot.archive;
    return context;
}

RepositoryProfile StateSnapshot::repository() const {
    RepositoryProfile profile;
    profile.service = service;
    profile.owner = owner;
    profile.repo = repo;
    profile.access_token = access_token;
    profile.branch = branch;
    profile.service_url = service_url;
    profile.address_prefix = address_prefix;
    return profile;
}

StateSnapshot AppState::snapshot() const {
    std::lock_guard lock(mutex_);
    return values_;
}

void AppState::set_gitee(std::string owner, std::string repo, std::string access_token) {
    std::lock_guard lock(mutex_);
    values_.owner = std::move(owner);
    values_.repo = std::move(repo);
    values_.access_token = std::move(access_token);
}

void AppState::set_repository(const RepositoryProfile& profile) {
    std::lock_guard lock(mutex_);
    values_.service = profile.service;
    values_.owner = profile.owner;
    values_.repo = profile.repo;
    values_.access_token = profile.access_token;
    values_.branch = profile.branch;
    values_.service_url = profile.service_url;
    values_.address_prefix = profile.address_prefix;
}

void AppState::set_mysql(MysqlSettings values) {
    std::lock_guard lock(mutex_);
    values_.mysql = std::move(values);
}

void AppState::set_record_mode(std::string mode) {
    std::lock_guard lock(mutex_);
    values_.record_mode = std::move(mode);
}

void AppState::set_machine_code(std::string code) {
    std::lock_guard lock(mutex_);
    values_.machine_code = std::move(code);
}

void AppState::set_compress(bool on) {
    std::lock_guard lock(mutex_);
    values_.compress = on;
}

void AppState::set_archive(bool on) {
    std::lock_guard lock(mutex_);
    values_.archive = on;
}

void AppState::set_groups(EditorServerSettings editor_server, LinkFormat link_format, bool compress,
                          std::string check_referer) {
    std::lock_guard lock(mutex_);
    values_.editor_server = std::move(editor_server);
    values_.link_format = link_format;
    values_.compress = compress;
    values_.check_referer = std::move(check_referer);
}

void AppState::set_check_max_age(int hours) {
    std::lock_guard lock(mutex_);
    values_.check_max_age_hours = hours;
}

void AppState::set_check_rate(int per_second) {
    std::lock_guard lock(mutex_);
    values_.check_rate = per_second;
}

} // namespace velpic
