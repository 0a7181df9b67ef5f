// The cipher of the two secret settings (access token, MySQL password): plain RC4 with a fixed key.
#pragma once

#include <string>
#include <string_view>

namespace velpic {

inline constexpr std::string_view settings_key = "k7q";

// RC4 is its own inverse: the same call enciphers and deciphers.
std::string rc4_transform(std::string_view data, std::string_view key);

} // namespace velpic
