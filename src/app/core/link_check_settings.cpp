#include "app/core/link_check_settings.h"

#include "app/core/settings_groups.h"
#include "runtime/codepage.h"

namespace velpic {

std::string stored_link_check_referer(const std::filesystem::path& settings_file) {
    SettingsPage page;
    read_settings_groups(settings_file, page);
    return to_utf8(page.check_referer);
}

} // namespace velpic
