// git's object name of a file's bytes, which the hosting service reports as a stored file's "sha".
#pragma once

#include <string>
#include <string_view>

namespace velpic {

// SHA-1 of "blob <size>\0" followed by the bytes, as 40 lower-case hexadecimal digits.
std::string git_blob_sha1(std::string_view bytes);

} // namespace velpic
