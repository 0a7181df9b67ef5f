#include "settings/settings_groups.h"

#include "records/link_check.h"
#include "records/link_status_memory.h"
#include "runtime/codepage.h"
#include "runtime/ini_file.h"
#include "settings/secret_store.h"
#include "settings/stored_secret.h"

namespace velpic {

namespace {

const std::string& section_server() {
    static const std::string name = utf8_to_gbk("编辑器上传服务");
    return name;
}
const std::string& section_upload() {
    static const std::string name = utf8_to_gbk("上传选项");
    return name;
}
const std::string& section_check() {
    static const std::string name = utf8_to_gbk("链接检测");
    return name;
}

// At most five digits and nothing else, 1 to 65535.
bool is_port_text(const std::string& text) {
    if (text.empty() || text.size() > 5)
        return false;
    int value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + (c - '0');
    }
    return value >= 1 && value <= 65535;
}

bool is_referer(const std::string& text) {
    if (text.empty())
        return true;
    std::string scheme = text.substr(0, text.find("://"));
    for (char& c : scheme) {
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    }
    const auto rest = text.find("://");
    if (rest == std::string::npos || (scheme != "http" && scheme != "https") || rest + 3 >= text.size())
        return false;
    for (unsigned char c : text) {
        if (c < 0x20 || c == 0x7F)
            return false;
    }
    return true;
}

const char* flag(bool on) {
    return on ? "1" : "0";
}

} // namespace

std::string server_port_message() {
    return utf8_to_gbk("服务端口必须是1到65535之间的数字");
}

std::string server_key_message() {
    return utf8_to_gbk("服务密钥不能包含空字符");
}

std::string referer_message() {
    return utf8_to_gbk("检测来源页只能为空，或是以http://或https://开头、不含控制字符的地址");
}

std::string check_max_age_message() {
    return utf8_to_gbk("复查间隔必须是0到8760之间的小时数");
}

std::string check_rate_message() {
    return utf8_to_gbk("检测速率必须是0到1000之间的数字（每秒向同一网站发出的检测数，0为不限）");
}

std::optional<int> check_rate_per_second(const std::string& text) {
    if (text.empty() || text.size() > 4 || text.find_first_not_of("0123456789") != std::string::npos)
        return std::nullopt;
    const int value = std::stoi(text);
    if (value > kMaxLinkCheckHostRate)
        return std::nullopt;
    return value;
}

std::optional<int> check_max_age_hours(const std::string& text) {
    if (text.empty() || text.size() > 4)
        return std::nullopt;
    int value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
        value = value * 10 + (c - '0');
    }
    if (value > kMaxCheckMaxAgeHours)
        return std::nullopt;
    return value;
}

void read_settings_groups(const std::filesystem::path& file, SettingsPage& page) {
    const IniDocument ini = IniDocument::load(file);
    page.server_enabled = ini.value(section_server(), "Enabled") == "1";
    page.server_port = ini.value(section_server(), "Port", kDefaultEditorServerPortText);
    page.server_key = read_secret(ini, section_server(), "Key");
    page.link_format = link_format_from_name(ini.value(section_upload(), "LinkFormat")).value_or(LinkFormat::url);
    page.compress = ini.value(section_upload(), "Compress") == "1";
    // On unless turned off: a file written before the archive existed keeps every picture from now on.
    page.archive = ini.value(section_upload(), "Archive", "1") != "0";
    page.check_referer = ini.value(section_check(), "Referer");
    page.check_max_age = ini.value(section_check(), "MaxAgeHours", std::to_string(kDefaultCheckMaxAgeHours));
    page.check_rate = ini.value(section_check(), "Rate", std::to_string(kDefaultLinkCheckHostRate));
}

std::string check_settings_groups(const SettingsPage& page) {
    if (!is_port_text(page.server_port))
        return server_port_message();
    // A zero byte would cut the stored key short, and requests would then be checked against another key.
    if (page.server_key.find('\0') != std::string::npos)
        return server_key_message();
    if (!is_referer(page.check_referer))
        return referer_message();
    if (!check_max_age_hours(page.check_max_age))
        return check_max_age_message();
    if (!check_rate_per_second(page.check_rate))
        return check_rate_message();
    return {};
}

std::vector<IniValue> settings_groups_values(const SettingsPage& page) {
    return {
        {section_server(), "Enabled", flag(page.server_enabled)},
        {section_server(), "Port", page.server_port},
        {section_server(), "Key", encode_stored_secret(page.server_key)},
        {section_upload(), "LinkFormat", link_format_name(page.link_format)},
        compress_value(page.compress),
        {section_upload(), "Archive", flag(page.archive)},
        {section_check(), "Referer", page.check_referer},
        {section_check(), "MaxAgeHours", page.check_max_age},
        {section_check(), "Rate", page.check_rate},
    };
}

IniValue compress_value(bool on) {
    return {section_upload(), "Compress", flag(on)};
}

void apply_settings_groups(const SettingsPage& page, AppState& state) {
    EditorServerSettings server;
    server.enabled = page.server_enabled;
    server.port = port_number(page.server_port);
    server.key = page.server_key;
    state.set_groups(std::move(server), page.link_format, page.compress, page.check_referer);
    state.set_archive(page.archive);
    // A damaged value reads as the default, as the other groups' values do.
    state.set_check_max_age(check_max_age_hours(page.check_max_age).value_or(kDefaultCheckMaxAgeHours));
    state.set_check_rate(check_rate_per_second(page.check_rate).value_or(kDefaultLinkCheckHostRate));
}

} // namespace velpic
