#include "settings/settings_store.h"

#include "records/mysql_record_store.h"
#include "runtime/codepage.h"
#include "runtime/files.h"
#include "runtime/ini_file.h"
#include "runtime/program_dir.h"
#include "settings/machine_code.h"
#include "settings/secret_store.h"
#include "settings/service_profiles.h"
#include "settings/settings_groups.h"
#include "settings/stored_secret.h"
#include "upload/repository_names.h"

#include <deque>
#include <fcntl.h>
#include <limits>
#include <optional>
#include <system_error>
#include <tuple>
#include <unistd.h>
#include <utility>
#include <vector>

namespace velpic {

namespace {

// Section, key and message texts in GBK.
constexpr const char* section_mode = "\xBC\xC7\xC2\xBC\xB7\xBD\xCA\xBD"; // 记录方式
constexpr const char* key_mode = "\xB7\xBD\xCA\xBD";                     // 方式
constexpr const char* section_mysql = "MySQL\xC5\xE4\xD6\xC3";           // MySQL配置
constexpr const char* mode_local = "\xB1\xBE\xB5\xD8";                   // 本地
constexpr const char* mode_mysql = "mysql";

constexpr const char* msg_owner = "Owner\xB2\xBB\xC4\xDC\xCE\xAA\xBF\xD5";
constexpr const char* msg_repo = "Repo\xB2\xBB\xC4\xDC\xCE\xAA\xBF\xD5";
constexpr const char* msg_token = "AccessToken\xB2\xBB\xC4\xDC\xCE\xAA\xBF\xD5";
constexpr const char* msg_server = "\xB7\xFE\xCE\xF1\xC6\xF7\xB5\xD8\xD6\xB7\xB2\xBB\xC4\xDC\xCE\xAA\xBF\xD5";
constexpr const char* msg_user = "\xCA\xFD\xBE\xDD\xBF\xE2\xD3\xC3\xBB\xA7\xC3\xFB\xB2\xBB\xC4\xDC\xCE\xAA\xBF\xD5";
constexpr const char* msg_password = "\xCA\xFD\xBE\xDD\xBF\xE2\xBF\xDA\xC1\xEE\xB2\xBB\xC4\xDC\xCE\xAA\xBF\xD5";
constexpr const char* msg_database = "\xCA\xFD\xBE\xDD\xBF\xE2\xC3\xFB\xB3\xC6\xB2\xBB\xC4\xDC\xCE\xAA\xBF\xD5";
constexpr const char* msg_port = "\xB6\xCB\xBF\xDA\xBA\xC5\xB2\xBB\xC4\xDC\xCE\xAA\xBF\xD5";
// 只能包含字母、数字、“-”、“_”和“.”
constexpr const char* msg_name_characters =
    "\xD6\xBB\xC4\xDC\xB0\xFC\xBA\xAC\xD7\xD6\xC4\xB8\xA1\xA2\xCA\xFD\xD7\xD6"
    "\xA1\xA2\xA1\xB0-\xA1\xB1\xA1\xA2\xA1\xB0_\xA1\xB1\xBA\xCD\xA1\xB0.\xA1\xB1";
constexpr const char* msg_no_nul = "\xB2\xBB\xC4\xDC\xB0\xFC\xBA\xAC\xBF\xD5\xD7\xD6\xB7\xFB"; // 不能包含空字符
constexpr const char* label_server = "\xB7\xFE\xCE\xF1\xC6\xF7\xB5\xD8\xD6\xB7";               // 服务器地址
constexpr const char* label_user = "\xCA\xFD\xBE\xDD\xBF\xE2\xD3\xC3\xBB\xA7\xC3\xFB";         // 数据库用户名
constexpr const char* label_password = "\xCA\xFD\xBE\xDD\xBF\xE2\xBF\xDA\xC1\xEE";             // 数据库口令
constexpr const char* label_database = "\xCA\xFD\xBE\xDD\xBF\xE2\xC3\xFB\xB3\xC6";             // 数据库名称
constexpr const char* label_port = "\xB6\xCB\xBF\xDA\xBA\xC5";                                 // 端口号
constexpr const char* msg_saved = "\xB1\xA3\xB4\xE6\xB3\xC9\xB9\xA6\xA3\xA1";
// 保存失败！配置文件无法写入：
constexpr const char* msg_not_written =
    "\xB1\xA3\xB4\xE6\xCA\xA7\xB0\xDC\xA3\xA1\xC5\xE4\xD6\xC3\xCE\xC4\xBC\xFE\xCE\xDE\xB7\xA8\xD0\xB4\xC8\xEB\xA3\xBA";

// The file holds the token in a reversible form, so nobody but its owner may read it. Made before the first
// write; the permissions are set again after each write in case the writer replaced the file.
void keep_private(const std::filesystem::path& file) {
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0)
        ::close(fd);
    std::error_code ignored;
    std::filesystem::permissions(file, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write,
                                 std::filesystem::perm_options::replace, ignored);
}

// The INI file and the string functions below it end a value at a NUL byte: the rest would be lost unseen.
bool holds_nul(const std::string& value) {
    return value.find('\0') != std::string::npos;
}

// Owner and repository become parts of API paths and addresses; the token must arrive whole.
std::optional<std::string> gitee_refusal(const SettingsPage& page) {
    if (!is_valid_repository_name(page.owner))
        return std::string("Owner") + msg_name_characters;
    if (!is_valid_repository_name(page.repo))
        return std::string("Repo") + msg_name_characters;
    if (holds_nul(page.access_token))
        return std::string("AccessToken") + msg_no_nul;
    return std::nullopt;
}

} // namespace

RepositoryProfile page_profile(const SettingsPage& page) {
    RepositoryProfile profile;
    profile.service = page.service;
    profile.owner = page.owner;
    profile.repo = page.repo;
    profile.access_token = page.access_token;
    profile.branch = page.branch;
    profile.service_url = page.service_url;
    profile.address_prefix = page.address_prefix;
    return profile;
}

std::filesystem::path settings_file_path() {
    return program_dir() / u8"配置.ini";
}

int port_number(std::string_view text) {
    size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t'))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    long long value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = value * 10 + (text[i] - '0');
        if (value > std::numeric_limits<int>::max())
            value = static_cast<long long>(std::numeric_limits<int>::max()) + 1;
    }
    value = negative ? -value : value;
    if (value > std::numeric_limits<int>::max())
        return std::numeric_limits<int>::max();
    if (value < std::numeric_limits<int>::min())
        return std::numeric_limits<int>::min();
    return static_cast<int>(value);
}

SettingsStore::SettingsStore(std::filesystem::path file, MachineCodeSource machine_code, TableMaker make_table)
    : file_(std::move(file)), machine_code_(std::move(machine_code)), make_table_(std::move(make_table)) {
    if (!machine_code_)
        machine_code_ = [] { return compute_machine_code(); };
    if (!make_table_)
        make_table_ = [](const MysqlSettings& settings) { MysqlRecordStore(settings).ensure_record_table(); };
}

std::string SettingsStore::read(const char* section, const char* key) const {
    return read_ini_value(file_, section, key);
}

bool SettingsStore::commit(std::span<const IniEdit> edits) const {
    keep_private(file_);
    const bool written = write_ini_values(file_, edits);
    keep_private(file_);
    return written;
}

MysqlSettings SettingsStore::read_mysql() const {
    MysqlSettings mysql;
    mysql.server = read(section_mysql, "Server");
    mysql.port = port_number(read(section_mysql, "Port"));
    mysql.user = read(section_mysql, "DataBaseUser");
    mysql.password = read_secret(IniDocument::load(file_), section_mysql, "DataBasePassword");
    mysql.database = read(section_mysql, "DataBaseName");
    return mysql;
}

std::string SettingsStore::reading_problem() const {
    if (is_non_regular_file(file_))
        return utf8_to_gbk("配置文件不是普通文件（如管道或设备），无法读取：" + file_.string());
    if (auto found = IniDocument::load(file_).first_value_with_nul())
        return "[" + found->first + "] " + found->second + msg_no_nul +
               utf8_to_gbk("，请在配置页重新填写并保存：" + file_.string());
    return {};
}

bool SettingsStore::load_at_start(AppState& state, std::string* problem) const {
    if (std::string refusal = reading_problem(); !refusal.empty()) {
        if (problem)
            *problem = std::move(refusal);
        return false;
    }
    state.set_repository(read_active_profile(IniDocument::load(file_)));
    state.set_record_mode(read(section_mode, key_mode));
    if (state.snapshot().mysql_mode()) {
        state.set_machine_code(machine_code_());
        state.set_mysql(read_mysql());
    }
    SettingsPage groups;
    read_settings_groups(file_, groups);
    apply_settings_groups(groups, state);
    return state.snapshot().gitee_known();
}

ServiceKind SettingsStore::active_service() const {
    return read_active_service(IniDocument::load(file_));
}

RepositoryProfile SettingsStore::read_profile(ServiceKind service) const {
    return read_service_profile(IniDocument::load(file_), service);
}

SettingsPage SettingsStore::read_page() const {
    return read_page(active_service());
}

SettingsPage SettingsStore::read_page(ServiceKind service) const {
    SettingsPage page;
    const RepositoryProfile profile = read_profile(service);
    page.service = service;
    page.active_service = active_service();
    page.owner = profile.owner;
    page.repo = profile.repo;
    page.access_token = profile.access_token;
    page.branch = profile.branch;
    page.service_url = profile.service_url;
    page.address_prefix = profile.address_prefix;
    page.server = read(section_mysql, "Server");
    page.port = read(section_mysql, "Port");
    page.database_user = read(section_mysql, "DataBaseUser");
    page.database_password = read_secret(IniDocument::load(file_), section_mysql, "DataBasePassword");
    page.database_name = read(section_mysql, "DataBaseName");
    read_settings_groups(file_, page);
    const IniDocument doc = IniDocument::load(file_);
    const std::optional<SecretPlace> named = stored_secret_place(doc);
    page.token_store = named ? secret_place_name(*named) : "";
    // Unnamed, the keyring is asked only when the token is not in the file (and then reading it asked already).
    page.secrets_in_keyring = named ? *named == SecretPlace::keyring
                                    : doc.value(profile_section(service), "Access_Token").empty() &&
                                          secret_place_in_force(doc) == SecretPlace::keyring;
    return page;
}

bool SettingsStore::stored_mysql_mode() const {
    return read(section_mode, key_mode) == mode_mysql;
}

void SettingsStore::choose_mysql_mode(AppState& state) const {
    state.set_machine_code(machine_code_());
    state.set_mysql(read_mysql());
}

SaveResult SettingsStore::save(const SettingsPage& page, bool mysql_selected, AppState& state) const {
    SaveResult result;
    if (page.owner.empty()) {
        result.message = msg_owner;
        return result;
    }
    if (page.repo.empty()) {
        result.message = msg_repo;
        return result;
    }
    if (page.access_token.empty()) {
        result.message = msg_token;
        return result;
    }
    if (auto refusal = gitee_refusal(page)) {
        result.message = *refusal;
        return result;
    }
    const RepositoryProfile profile = page_profile(page);
    if (std::string message = check_profile_values(profile); !message.empty()) {
        result.message = std::move(message);
        return result;
    }
    if (std::string message = check_settings_groups(page); !message.empty()) {
        result.message = std::move(message);
        return result;
    }
    std::deque<std::string> storage;
    std::vector<IniEdit> edits;
    append_profile_edits(profile, page.active_service, IniDocument::load(file_).has_section(service_section()), storage,
                         edits);
    edits.push_back({section_mode, key_mode, mysql_selected ? mode_mysql : mode_local});
    std::optional<std::string> failed_check;
    std::string stored_password;
    if (mysql_selected) {
        const std::tuple<const std::string*, const char*, const char*> checks[] = {
            {&page.server, msg_server, label_server},
            {&page.database_user, msg_user, label_user},
            {&page.database_password, msg_password, label_password},
            {&page.database_name, msg_database, label_database},
            {&page.port, msg_port, label_port},
        };
        for (const auto& [value, message, label] : checks) {
            if (value->empty()) {
                failed_check = message;
                break;
            }
            if (holds_nul(*value)) {
                failed_check = std::string(label) + msg_no_nul;
                break;
            }
        }
        if (!failed_check) {
            stored_password = encode_stored_secret(page.database_password);
            edits.insert(edits.end(), {
                                          {section_mysql, "Server", page.server},
                                          {section_mysql, "Port", page.port},
                                          {section_mysql, "DataBaseUser", page.database_user},
                                          {section_mysql, "DataBasePassword", stored_password},
                                          {section_mysql, "DataBaseName", page.database_name},
                                      });
        }
    }
    // The groups below the original three have sections of their own after them, and are kept even when a MySQL
    // check fails, like the Gitee values.
    const std::vector<IniValue> group_values = settings_groups_values(page);
    for (const IniValue& value : group_values)
        edits.push_back({value.section, value.key, value.value});
    // Secrets go to the keyring first (when that is where they are kept), so the file never loses one the keyring
    // does not hold.
    const IniDocument before = IniDocument::load(file_);
    std::string keyring_warning;
    const RoutedSecrets routed = route_secret_edits(before, edits, storage, keyring_warning);
    // One replacement of the file, so a crash never leaves Owner of one save beside Repo of another. A failed MySQL
    // check still saves the Gitee values and the mode.
    const bool written = commit(edits);
    // A secret that moved to an item of another label (a renamed profile) leaves the old item only now that the
    // file names the new one.
    settle_routed_secrets(routed, written);
    // The first save that chose the keyring takes the secrets saved before along.
    if (written && !stored_secret_place(before) &&
        stored_secret_place(IniDocument::load(file_)) == SecretPlace::keyring)
        move_secrets(file_, SecretPlace::keyring);
    // The page asks for the other place (the settings page's offer under the token).
    if (const std::optional<SecretPlace> asked = secret_place_named(page.token_store);
        written && asked && asked != stored_secret_place(IniDocument::load(file_)))
        if (const SecretMove move = move_secrets(file_, *asked); !move.ok)
            keyring_warning += (keyring_warning.empty() ? "" : "; ") + move.message;
    state.set_repository(page.active_service == page.service ? in_force(profile)
                                                             : read_active_profile(IniDocument::load(file_)));
    if (service_url_unencrypted(effective_service_url(profile)))
        result.warning = unencrypted_service_url_warning();
    if (!keyring_warning.empty())
        result.warning += (result.warning.empty() ? "" : " ") + utf8_to_gbk(keyring_warning);
    apply_settings_groups(page, state);
    result.gitee_saved = true;
    if (failed_check) {
        result.message = *failed_check;
        return result;
    }
    if (mysql_selected) {
        MysqlSettings mysql{page.server, port_number(page.port), page.database_user, page.database_password,
                            page.database_name};
        state.set_mysql(mysql);
        make_table_(mysql);
    }
    // A value that did not reach the file would be gone at the next start: the user must hear of it.
    if (!written) {
        result.message = msg_not_written + utf8_to_gbk(file_.string()); // shown, never used as a path
        return result;
    }
    result.message = msg_saved;
    result.saved = true;
    return result;
}

void SettingsStore::remember_branch(const RepositoryProfile& used, const std::string& branch, AppState* state) const {
    const IniDocument file = IniDocument::load(file_);
    const RepositoryProfile stored = read_service_profile(file, used.service);
    if (branch.empty() || !stored.branch.empty() || stored.owner != used.owner || stored.repo != used.repo)
        return;
    const IniEdit edit{profile_section(used.service), "Branch", branch};
    if (commit({&edit, 1}) && state != nullptr && read_active_service(file) == used.service) {
        RepositoryProfile in_use = state->snapshot().repository();
        if (in_use.owner == used.owner && in_use.repo == used.repo && in_use.branch.empty()) {
            in_use.branch = branch;
            state->set_repository(in_use);
        }
    }
}

std::string SettingsStore::save_compress(bool on, AppState& state) const {
    const IniValue value = compress_value(on);
    const IniEdit edit{value.section, value.key, value.value};
    const bool written = commit({&edit, 1});
    state.set_compress(on);
    return written ? std::string() : msg_not_written + utf8_to_gbk(file_.string());
}

} // namespace velpic
