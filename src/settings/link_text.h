// The text handed on for an uploaded picture: its address alone, a Markdown image or an HTML img element. Texts
// are UTF-8, as the clipboard and standard output take them.
#pragma once

#include "settings/group_settings.h"

#include <filesystem>
#include <string>
#include <string_view>

namespace velpic {

// address, "![name](address)" or "<img src=\"address\" alt=\"name\">". Neither a file name nor an address from
// the service can end the markup early or add to it: both are escaped for where they stand.
std::string link_text(LinkFormat format, std::string_view address, std::string_view name);

// The name a picture file gives its link: the file's name without its extension.
std::string link_name(const std::filesystem::path& file);

} // namespace velpic
