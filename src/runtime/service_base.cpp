#include "runtime/service_base.h"

#include <cstdlib>

namespace velpic {

std::string service_base() {
    const char* configured = std::getenv("VELPIC_SERVICE_BASE");
    std::string base = configured != nullptr && *configured != '\0' ? configured : "https://gitee.com/";
    if (base.back() != '/')
        base.push_back('/');
    return base;
}

} // namespace velpic
