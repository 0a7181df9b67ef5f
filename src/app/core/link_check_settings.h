// Where the link check's settings are kept in "配置.ini".
#pragma once

#include <filesystem>
#include <string>

namespace velpic {

// The Referer the check sends ("链接检测", "Referer"), as UTF-8; empty when none is set.
std::string stored_link_check_referer(const std::filesystem::path& settings_file);

} // namespace velpic
