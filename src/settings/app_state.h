// The program-wide state: the settings in force, the record mode read at start and the machine code.
// The window's thread writes it; workers take a copy when they start, so a save never changes a running job.
#pragma once

#include "records/mysql_settings.h"
#include "settings/group_settings.h"
#include "upload/repository_profile.h"
#include "upload/upload_picture.h"

#include <filesystem>
#include <mutex>
#include <string>

namespace velpic {

// Plain values, copied out whole. Texts are GBK.
struct StateSnapshot {
    // The active service's profile (repository_profile.h): owner, repository and token, and the rest.
    ServiceKind service = ServiceKind::gitee;
    std::string owner;
    std::string repo;
    std::string access_token; // plain
    std::string branch;
    std::string service_url;
    std::string address_prefix;
    std::string record_mode; // "mysql" means MySQL mode
    MysqlSettings mysql;     // password plain
    std::string machine_code;

    // The groups below the original ones on the settings page (settings_groups.h).
    EditorServerSettings editor_server;
    LinkFormat link_format = LinkFormat::url;
    bool compress = false;
    bool archive = true;          // a copy of every picture sent goes to the local archive
    std::string check_referer;    // empty: none
    int check_max_age_hours = 24; // a remembered link status older than this is checked again; 0: always
    int check_rate = 8;           // link checks started a second per host; 0: no limit

    bool gitee_known() const { return !owner.empty() && !repo.empty() && !access_token.empty(); }
    RepositoryProfile repository() const;
    bool mysql_mode() const { return record_mode == "mysql"; }
};

// What one upload needs of the settings, copied for its worker.
UploadContext upload_context(const StateSnapshot& snapshot, const std::filesystem::path& program_dir);

class AppState {
public:
    StateSnapshot snapshot() const;

    void set_gitee(std::string owner, std::string repo, std::string access_token);
    // The active service and its whole profile.
    void set_repository(const RepositoryProfile& profile);
    void set_mysql(MysqlSettings values);
    void set_record_mode(std::string mode);
    void set_machine_code(std::string code);
    void set_compress(bool on);
    void set_archive(bool on);
    void set_groups(EditorServerSettings editor_server, LinkFormat link_format, bool compress,
                    std::string check_referer);
    void set_check_max_age(int hours);
    void set_check_rate(int per_second);

private:
    mutable std::mutex mutex_;
    StateSnapshot values_;
};

} // namespace velpic
