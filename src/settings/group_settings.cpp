#include "settings/group_settings.h"

namespace velpic {

const char* link_format_name(LinkFormat format) {
    switch (format) {
    case LinkFormat::markdown:
        return "markdown";
    case LinkFormat::html:
        return "html";
    case LinkFormat::url:
        break;
    }
    return "url";
}

std::optional<LinkFormat> link_format_from_name(std::string_view name) {
    if (name == "url")
        return LinkFormat::url;
    if (name == "markdown")
        return LinkFormat::markdown;
    if (name == "html")
        return LinkFormat::html;
    return std::nullopt;
}

} // namespace velpic
