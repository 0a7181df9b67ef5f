// MD5 digest of a byte buffer: the identity of a picture.
#pragma once

#include <string>
#include <string_view>

namespace velpic {

// 32 lower-case hexadecimal digits.
std::string md5_hex(std::string_view bytes);

} // namespace velpic
