#include "notes/relink_map.h"

#include "runtime/codepage.h"
#include "runtime/files.h"

#include <utility>
#include <vector>

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
    // The records in the order they were written, which is the order the pictures moved in.
    std::vector<std::pair<std::string_view, std::string_view>> records;
    std::unordered_map<std::string_view, std::string_view> direct;
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
        records.emplace_back(old_address, new_address);
    }
    // A record continues only into records written after it: "a -> B" then "c -> a" moved two pictures (c's
    // picture went to where a's had been), and c's notes must end at a, not at B. Walking the records from the
    // last one back, each address's end is known once, so a long chain costs one step per record.
    std::unordered_map<std::string_view, std::string> ends;
    ends.reserve(records.size());
    for (auto record = records.rbegin(); record != records.rend(); ++record) {
        const auto [old_address, new_address] = *record;
        auto later = ends.find(new_address);
        std::string end = later == ends.end() ? std::string(new_address) : later->second;
        if (end == old_address) {
            why = "the map leads " + std::string(old_address) + " round in a circle";
            return std::nullopt;
        }
        ends.insert_or_assign(old_address, std::move(end));
    }
    RelinkMap map;
    map.addresses.reserve(ends.size());
    for (auto& [old_address, end] : ends)
        map.addresses.emplace(std::string(old_address), std::move(end));
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
