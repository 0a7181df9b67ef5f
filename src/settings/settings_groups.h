// The groups of the settings page below the original three, as the settings file keeps them:
//   [编辑器上传服务] Enabled = "1"/"0", Port = as typed, Key = enciphered like the access token
//   [上传选项]       LinkFormat = "url"/"markdown"/"html", Compress = "1"/"0", Archive = "1"/"0" (missing: "1")
//   [链接检测]       Referer = as typed, MaxAgeHours = as typed (0 to 8760), Rate = as typed (0 to 1000)
// Missing sections and keys read as the defaults. Texts are GBK.
#pragma once

#include "settings/app_state.h"
#include "settings/settings_store.h"

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace velpic {

struct IniValue {
    std::string section;
    std::string key;
    std::string value; // as written
};

// The groups' fields of page, from the file.
void read_settings_groups(const std::filesystem::path& file, SettingsPage& page);

// The checks of the groups, in order; the message (GBK) of the first that fails, or empty when all pass:
// the server port is a number from 1 to 65535; the server key holds no zero byte; the referer is empty or an http(s)
// address without control bytes; the age limit of link statuses is a number of hours from 0 to 8760; the check
// rate is a number from 0 to 1000.
std::string check_settings_groups(const SettingsPage& page);

// What saving writes for the groups, in order.
std::vector<IniValue> settings_groups_values(const SettingsPage& page);

// The value saving writes for "压缩超过1MB的图片".
IniValue compress_value(bool on);

// Puts the groups' values of page in force.
void apply_settings_groups(const SettingsPage& page, AppState& state);

// The messages of the checks (GBK).
std::string server_port_message();
std::string server_key_message();
std::string referer_message();
std::string check_max_age_message();
std::string check_rate_message();

// The hours of a "复查间隔（小时）" text, nullopt when it is not a whole number from 0 to 8760.
std::optional<int> check_max_age_hours(const std::string& text);

// The request starts a second of a "检测速率" text, nullopt when it is not a whole number from 0 to 1000.
std::optional<int> check_rate_per_second(const std::string& text);

} // namespace velpic
