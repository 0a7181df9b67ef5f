// What a move has done so far, kept beside its map: one "old<TAB>new" line (UTF-8) per record it has pointed at
// another address, written and flushed before the record changes. A move cut off at any moment therefore leaves a
// line for every record it changed, and the map of the whole move (over all its interrupted runs) is made from the
// journal when the move completes.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace velpic {

// map_path with ".journal" added to its name.
std::filesystem::path move_journal_path(const std::filesystem::path& map_path);

// Appends "old<TAB>new\n" and flushes it to disk. A last line left without its line end by a killed writer is cut
// off first, so that no line is ever glued to a torn one. False when the journal cannot be written.
bool append_move_journal(const std::filesystem::path& journal, std::string_view old_address,
                         std::string_view new_address);

// The map text of journal bytes: one "old<TAB>new\n" line per old address in the order first met, each leading to
// where its chain ends (A -> B then B -> C gives A -> C and B -> C), addresses that end where they began left out,
// as are lines without their line end or without exactly one tab.
std::string move_map_text(std::string_view journal);

} // namespace velpic
