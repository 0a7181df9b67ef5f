#include "settings/settings_cipher.h"

#include <array>
#include <utility>

namespace velpic {

std::string rc4_transform(std::string_view data, std::string_view key) {
    if (data.empty())
        return {};
    std::array<unsigned char, 256> s;
    for (int i = 0; i < 256; ++i)
        s[i] = static_cast<unsigned char>(i);
    if (!key.empty()) {
        unsigned char j = 0;
        for (int i = 0; i < 256; ++i) {
            j = static_cast<unsigned char>(j + s[i] + static_cast<unsigned char>(key[i % key.size()]));
            std::swap(s[i], s[j]);
        }
    }
    std::string out(data.size(), '\0');
    unsigned char i = 0, j = 0;
    for (size_t k = 0; k < data.size(); ++k) {
        i = static_cast<unsigned char>(i + 1);
        j = static_cast<unsigned char>(j + s[i]);
        std::swap(s[i], s[j]);
        out[k] = static_cast<char>(static_cast<unsigned char>(data[k]) ^ s[static_cast<unsigned char>(s[i] + s[j])]);
    }
    return out;
}

} // namespace velpic
