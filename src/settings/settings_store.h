// The settings file "配置.ini" in the program directory: loading at start, filling the settings page,
// choosing MySQL mode and saving with its checks. Texts are GBK; the token and the MySQL password are
// stored enciphered (see stored_secret.h).
#pragma once

#include "records/mysql_settings.h"
#include "runtime/ini_file.h"
#include "settings/app_state.h"
#include "settings/group_settings.h"
#include "upload/repository_profile.h"

#include <filesystem>
#include <functional>
#include <span>
#include <string>

namespace velpic {

// The eight edit boxes of the settings page, as typed, and the controls of the groups below them.
struct SettingsPage {
    // The hosting service whose profile the page holds, and the one in use after saving; the window's "图床服务"
    // sets both, `velpic config set --service S` only the first.
    ServiceKind service = ServiceKind::gitee;
    ServiceKind active_service = ServiceKind::gitee;
    std::string owner;
    std::string repo;
    std::string access_token;
    std::string branch;         // "分支"; empty: the service's default
    std::string service_url;    // "服务地址"; empty: the service's own
    std::string address_prefix; // "链接前缀"; empty: the raw-file address
    std::string server;
    std::string port;
    std::string database_user;
    std::string database_password;
    std::string database_name;

    // Group "编辑器上传服务", section of the same name (see settings_groups.h).
    bool server_enabled = false;
    std::string server_port = kDefaultEditorServerPortText;
    std::string server_key; // plain
    // Group "上传选项".
    LinkFormat link_format = LinkFormat::url;
    bool compress = false;
    bool archive = true; // "保留本地存档"
    // Group "链接检测".
    std::string check_referer;
    std::string check_max_age = "24"; // "复查间隔（小时）", as typed
    // Where the secrets are kept (secret_store.h): the place the file names ("keyring", "file", or "" for the
    // default), and whether they are in the keyring now. Saving a page that names another place moves them all.
    std::string token_store;
    bool secrets_in_keyring = false;
    std::string check_rate = "8";     // "检测速率", request starts a second to one host, as typed
};

struct SaveResult {
    std::string message;      // the message to show (GBK), always set
    bool gitee_saved = false; // the Gitee values reached the file and the state: the drop area may be registered
    bool saved = false;       // every check passed and every value reached the file
    std::string warning;      // GBK: saved, but worth telling (the token would travel unencrypted)
};

std::filesystem::path settings_file_path(); // program_dir() / "配置.ini"

// The profile the page shows.
RepositoryProfile page_profile(const SettingsPage& page);

// Leading blanks skipped, optional sign, decimal digits; no digits give 0. Clamped to the int range.
int port_number(std::string_view text);

class SettingsStore {
public:
    using MachineCodeSource = std::function<std::string()>;
    using TableMaker = std::function<void(const MysqlSettings&)>;

    // Defaults: compute_machine_code and MysqlRecordStore::ensure_record_table.
    explicit SettingsStore(std::filesystem::path file, MachineCodeSource machine_code = {}, TableMaker make_table = {});

    const std::filesystem::path& file() const { return file_; }

    // Why the file cannot be read as it stands (GBK), or empty: something that is not a regular file is in its
    // place (a FIFO would hold every reader), or a value holds a NUL byte (written by hand; reading would cut the
    // value there, so "Owner=al\0ice" would upload into "al"). The message names the setting.
    std::string reading_problem() const;
    // Fills state; returns whether owner, repo and token are all known (the drop area may then be registered).
    // When reading_problem finds one, nothing is loaded, problem (when given) receives it and the result is false.
    bool load_at_start(AppState& state, std::string* problem = nullptr) const;
    // Every value read from the file now, whatever the record mode, with the active service's profile.
    SettingsPage read_page() const;
    // The same with the profile of service (which need not be the active one).
    SettingsPage read_page(ServiceKind service) const;
    // A service's profile as stored; the active one's with VELPIC_SERVICE_BASE in force when active_in_force.
    RepositoryProfile read_profile(ServiceKind service) const;
    ServiceKind active_service() const;
    // Whether the file says MySQL mode ("方式" is exactly "mysql"), as the radio buttons show it at start.
    bool stored_mysql_mode() const;
    // The five MySQL values into state and the machine code computed; nothing else changes.
    void choose_mysql_mode(AppState& state) const;
    // The checks in order; what was written before a failed check stays written.
    SaveResult save(const SettingsPage& page, bool mysql_selected, AppState& state) const;
    // Saves branch as the branch of the profile used (the repository's default branch, learned by an upload), unless
    // the stored profile names a branch already or another repository by now. The state follows when that profile
    // is the one in use.
    void remember_branch(const RepositoryProfile& used, const std::string& branch, AppState* state = nullptr) const;
    // Turns "压缩超过1MB的图片" on or off in the file and in state, leaving every other value as it is (the
    // question about a large picture offers it). The message (GBK) when the file could not be written, else empty.
    std::string save_compress(bool on, AppState& state) const;

private:
    std::string read(const char* section, const char* key) const;
    // Writes the edits with one replacement of the file, which only its owner may read.
    bool commit(std::span<const IniEdit> edits) const;
    MysqlSettings read_mysql() const;

    std::filesystem::path file_;
    MachineCodeSource machine_code_;
    TableMaker make_table_;
};

} // namespace velpic
