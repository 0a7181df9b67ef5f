// The map of addresses a relink applies: "old<TAB>new" per line, UTF-8, as `velpic move` writes it.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace velpic {

// Where `velpic move` writes the map of its last move, and where relink looks without --map:
// "搬家映射.txt" in the program directory.
std::filesystem::path move_map_path(const std::filesystem::path& program_dir);

// Map files larger than this are refused unread.
inline constexpr std::uint64_t kMaxMapBytes = 256 * 1024 * 1024;

struct RelinkMap {
    // Old address -> the address it ends at. Chains are followed forward in the order of the lines (a picture
    // moved twice, A -> B then B -> C, maps both A and B to C), so that a relink never has to be run twice and a
    // second run changes nothing; a line never continues into an earlier one, which moved another picture.
    std::unordered_map<std::string, std::string> addresses;

    const std::string* find(std::string_view old_address) const;
};

// Lines end at LF or CR LF; a UTF-8 byte-order mark and empty lines are skipped. Nullopt, with why naming the
// line, for a line without exactly one tab, with an empty side, a control character or bytes that are not UTF-8
// (an address goes into notes as it is), for an address mapped to two different new ones, or for a cycle.
std::optional<RelinkMap> parse_relink_map(std::string_view bytes, std::string& why);
std::optional<RelinkMap> read_relink_map(const std::filesystem::path& file, std::string& why);

} // namespace velpic
