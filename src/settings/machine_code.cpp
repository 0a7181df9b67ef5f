#include "settings/machine_code.h"

#include <cstdio>

namespace velpic {

namespace {
constexpr std::string_view kNoAdapterAddress = "10-11-11-11-11-11";
// Leaf 1 EDX, a hyphen, leaf 1 EAX, a hyphen: leaf 3 never reaches the code.
constexpr size_t kProcessorPrefix = 18;
} // namespace

std::string format_mac_address(const MacAddress& mac) {
    char text[18];
    std::snprintf(text, sizeof text, "%02X-%02X-%02X-%02X-%02X-%02X", mac[0], mac[1], mac[2], mac[3], mac[4], mac[5]);
    return text;
}

std::string processor_serial_text(const CpuidWords& words) {
    char text[36];
    std::snprintf(text, sizeof text, "%08X-%08X-%08X-%08X", static_cast<unsigned>(words.leaf1_edx),
                  static_cast<unsigned>(words.leaf1_eax), static_cast<unsigned>(words.leaf3_edx),
                  static_cast<unsigned>(words.leaf3_ecx));
    return text;
}

std::string machine_code_from_texts(std::string_view mac_text, std::string_view processor_text) {
    std::string x;
    for (char c : mac_text)
        if (c != '-')
            x += c;
    for (char c : processor_text.substr(0, kProcessorPrefix))
        if (c != '-')
            x += c;

    std::string digits;
    std::string letters;
    for (char c : x) {
        const bool upper = c >= 'A' && c <= 'Z';
        const bool lower = c >= 'a' && c <= 'z';
        if (!upper && !lower)
            digits += c;
        else if (upper)
            letters += std::to_string(c - 'A' + 1);
    }
    return digits + letters;
}

std::string compute_machine_code(const MachineSource& source) {
    const auto adapters = source.adapter_addresses();
    const std::string mac = adapters.empty() ? std::string(kNoAdapterAddress) : format_mac_address(adapters.front());
    return machine_code_from_texts(mac, processor_serial_text(source.processor_words()));
}

std::string compute_machine_code() {
    return compute_machine_code(*system_machine_source());
}

} // namespace velpic
