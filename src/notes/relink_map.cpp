#include "notes/relink_map.h"

#include "runtime/codepage.h"
#include "runtime/files.h"

#include <unordered_set>

namespace velpic {

std::filesystem::path move_map_path(const std::filesystem::path& program_dir) {
    return program_dir / std::filesystem::path(u8"搬家映射.txt");
}

const std::string* RelinkMap::find(std::string_view old_address) const {
    auto found = addresses.find(std::string(old_address));
    return found == addresses.end() ? nullptr : &found->second;
}

std::optional<RelinkMap> parse_relink_map(std::string_view bytes, std::string& why) {
    if (bytes.starts_with("\xEF\xBB\xBF"))
        bytes.remove_prefix(3);
    std::unordered_map<std::string, std::string> direct;
    std::size_t line_number = 0;
    while (!bytes.empty()) {
        ++line_number;
        const std::size_t end = bytes.find('\n');
        std::string_view line = bytes.substr(0, end);
        bytes.remove_prefix(end == std::string_view::npos ? bytes.size() : end + 1);
        if (line.ends_with('\r'))
            line.remove_suffix(1);
        if (line.empty())
            continue;
        const std::string where = "line " + std::to_string(line_number) + ": ";
        const std::size_t tab = line.find('\t');
        if (tab == std::string_view::npos || line.find('\t', tab + 1) != std::string_view::npos) {
            why = where + "not \"old address<TAB>new address\"";
            return std::nullopt;
        }
        const std::string_view old_address = line.substr(0, tab);
        const std::string_view new_address = line.substr(tab + 1);
        if (old_address.empty() || new_address.empty()) {
            why = where + "an address is empty";
            return std::nullopt;
        }
        for (const char c : line) {
            if ((static_cast<unsigned char>(c) < 0x20 && c != '\t') || c == 0x7F) {
                why = where + "an address holds a control character";
                return std::nullopt;
            }
        }
        if (!is_valid_utf8(line)) {
            why = where + "not UTF-8";
            return std::nullopt;
        }
        if (old_address == new_address)
            continue;
        auto [entry, added] = direct.emplace(old_address, new_address);
        if (!added && entry->second != new_address) {
            why = where + std::string(old_address) + " is mapped to two different addresses";
            return std::nullopt;
        }
    }
    RelinkMap map;
    map.addresses.reserve(direct.size());
    for (const auto& [old_address, new_address] : direct) {
        const std::string* end = &new_address;
        std::unordered_set<std::string_view> seen{old_address};
        for (auto next = direct.find(*end); next != direct.end(); next = direct.find(*end)) {
            if (!seen.insert(*end).second) {
                why = "the map leads " + old_address + " round in a circle";
                return std::nullopt;
            }
            end = &next->second;
        }
        map.addresses.emplace(old_address, *end);
    }
    return map;
}

std::optional<RelinkMap> read_relink_map(const std::filesystem::path& file, std::string& why) {
    const FileRead read = read_regular_file(file, kMaxMapBytes);
    if (read.status != FileReadStatus::ok) {
        why = read.status == FileReadStatus::too_large ? "larger than 256 MB" : "cannot be read";
        return std::nullopt;
    }
    return parse_relink_map(read.bytes, why);
}

} // namespace velpic
