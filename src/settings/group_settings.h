// Values of the settings page's groups below the original three: the editor upload server, the upload options and
// the link check. Each group has a section of its own in "配置.ini", so a file without them reads as before.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace velpic {

inline constexpr int kDefaultEditorServerPort = 36677;
inline constexpr const char* kDefaultEditorServerPortText = "36677";

// How an address is handed on after an upload.
enum class LinkFormat { url, markdown, html };

// "url", "markdown", "html": the stored form and the command line's.
const char* link_format_name(LinkFormat format);
std::optional<LinkFormat> link_format_from_name(std::string_view name);

// The editor upload server as it is in force (texts GBK, key plain).
struct EditorServerSettings {
    bool enabled = false;
    int port = kDefaultEditorServerPort; // the integer of the stored text; outside 1..65535 when the file is damaged
    std::string key;                     // empty: none
};

} // namespace velpic
