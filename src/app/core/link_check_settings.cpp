#include "app/core/link_check_settings.h"

#include "runtime/codepage.h"
#include "runtime/ini_file.h"

namespace velpic {

std::string stored_link_check_referer(const std::filesystem::path& settings_file) {
    return to_utf8(read_ini_value(settings_file, "\xC1\xB4\xBD\xD3\xBC\xEC\xB2\xE2" /* 链接检测 */, "Referer"));
}

} // namespace velpic
