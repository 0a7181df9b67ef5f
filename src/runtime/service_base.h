// The hosting service's web base address: API addresses, raw-file addresses and web pages are built from it.
#pragma once

#include <string>

namespace velpic {

// "https://gitee.com/", or the value of VELPIC_SERVICE_BASE (a test service), always ending in "/".
std::string service_base();

} // namespace velpic
