// The move journal, as a killed move may leave it, and the map made of it: the map names every old address once,
// leads nowhere an address of the journal did not, and has no chain (no line starts where another ends), because
// relink follows chains and would carry a picture's notes to where another picture went. An append after any
// damage keeps every whole line and adds its own.
#include "fuzz_support.h"
#include "upload/move_journal.h"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <set>

using namespace velpic;
using velpic::fuzz::FuzzInput;

namespace {

const fuzz::ScratchDir scratch;

// Lines of a map or journal: old address -> new address, for lines of exactly one tab with both sides filled.
std::vector<std::pair<std::string, std::string>> lines_of(std::string_view text) {
    std::vector<std::pair<std::string, std::string>> lines;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        if (end == std::string_view::npos)
            break;
        const std::string_view line = text.substr(0, end);
        text.remove_prefix(end + 1);
        const std::size_t tab = line.find('\t');
        if (tab != std::string_view::npos && tab > 0 && tab + 1 < line.size() &&
            line.find('\t', tab + 1) == std::string_view::npos)
            lines.emplace_back(line.substr(0, tab), line.substr(tab + 1));
    }
    return lines;
}

std::string read_all(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > 8192)
        return 0;
    FuzzInput input(data, size);
    const std::string_view journal = input.field(0);
    const std::string map = move_map_text(journal);

    std::set<std::string> olds;
    std::set<std::string> news;
    for (const auto& [old_address, new_address] : lines_of(journal)) {
        olds.insert(old_address);
        news.insert(new_address);
    }
    const auto map_lines = lines_of(map);
    FUZZ_CHECK(map_lines.size() == static_cast<std::size_t>(std::count(map.begin(), map.end(), '\n')));
    std::set<std::string> starts;
    for (const auto& [old_address, new_address] : map_lines) {
        FUZZ_CHECK(old_address != new_address);
        FUZZ_CHECK(olds.count(old_address) == 1 && news.count(new_address) == 1);
        FUZZ_CHECK(starts.insert(old_address).second);
    }
    for (const auto& line : map_lines)
        FUZZ_CHECK(starts.count(line.second) == 0);
    // The map made again of itself, as a journal, is itself: nothing in it moves on.
    FUZZ_CHECK(move_map_text(map) == map);

    // An append after whatever a killed writer left: the whole lines stay, a torn last one goes.
    const std::filesystem::path file = scratch.path() / "map.txt.journal";
    std::ofstream(file, std::ios::binary | std::ios::trunc)
        .write(journal.data(), static_cast<std::streamsize>(journal.size()));
    const std::string old_address(input.field(1).substr(0, 64));
    const std::string new_address(input.field(2).substr(0, 64));
    if (old_address.find_first_of("\t\n") != std::string::npos || new_address.find_first_of("\t\n") != std::string::npos)
        return 0;
    FUZZ_CHECK(append_move_journal(file, old_address, new_address));
    const std::size_t whole = journal.rfind('\n');
    const std::string_view kept = whole == std::string_view::npos ? std::string_view() : journal.substr(0, whole + 1);
    FUZZ_CHECK(read_all(file) == std::string(kept) + old_address + "\t" + new_address + "\n");
    return 0;
}
