#include "records/record_index.h"

#include "records/record_section_scan.h"
#include "runtime/ini_lines.h"

#include <cstring>
#include <string>

namespace velpic {
namespace {

constexpr std::uint64_t kMultiplier = 0x9E3779B97F4A7C15ull;
constexpr std::uint64_t kHighBits = 0x8080808080808080ull;
constexpr std::uint64_t kListedSalt = 0xD6E8FEB86659FD93ull; // keeps listed names apart from section names

std::uint64_t mix(std::uint64_t h, std::uint64_t word) {
    h = (h ^ word) * kMultiplier;
    return h ^ (h >> 29);
}

// ASCII upper-case letters of eight bytes below 0x80 made lower-case at once.
std::uint64_t lower_ascii(std::uint64_t word) {
    const std::uint64_t above_z = word + 0x2525252525252525ull; // high bit set where byte > 'Z'
    const std::uint64_t from_a = word + 0x3F3F3F3F3F3F3F3Full;  // high bit set where byte >= 'A'
    return word | ((from_a & ~above_z & kHighBits) >> 2);
}

template <bool Fold> std::uint64_t hash_words(std::string_view text) {
    std::uint64_t h = text.size() * kMultiplier;
    std::size_t i = 0;
    for (; i + 8 <= text.size(); i += 8) {
        std::uint64_t word;
        std::memcpy(&word, text.data() + i, 8);
        h = mix(h, Fold ? lower_ascii(word) : word);
    }
    if (i < text.size()) {
        std::uint64_t word = 0;
        std::memcpy(&word, text.data() + i, text.size() - i);
        h = mix(h, Fold ? lower_ascii(word) : word);
    }
    h = mix(h, h >> 32);
    return h;
}

bool is_ascii(std::string_view text) {
    std::size_t i = 0;
    for (; i + 8 <= text.size(); i += 8) {
        std::uint64_t word;
        std::memcpy(&word, text.data() + i, 8);
        if (word & kHighBits)
            return false;
    }
    for (; i < text.size(); ++i)
        if (static_cast<unsigned char>(text[i]) >= 0x80)
            return false;
    return true;
}

// Equal for names that ini_detail::names_equal finds equal: ASCII letters folded, double-byte characters whole.
std::uint64_t section_key(std::string_view name) {
    std::uint64_t h;
    if (is_ascii(name)) {
        h = hash_words<true>(name);
    } else {
        std::string folded(name);
        for (std::size_t i = 0; i < folded.size(); ++i) {
            const auto byte = static_cast<unsigned char>(folded[i]);
            if (byte >= 0x81 && byte <= 0xFE && i + 1 < folded.size())
                ++i;
            else if (byte >= 'A' && byte <= 'Z')
                folded[i] = static_cast<char>(byte + ('a' - 'A'));
        }
        h = hash_words<false>(folded);
    }
    return h == 0 ? 1 : h;
}

std::uint64_t listed_key(std::string_view name) {
    const std::uint64_t h = hash_words<false>(name) ^ kListedSalt;
    return h == 0 ? 1 : h;
}

} // namespace

void RecordIndex::build(std::string_view bytes, Names names) {
    slots_.clear();
    used_ = 0;
    headers_ = 0;
    // A record takes about 190 bytes; start near the final size to spare most rehashes.
    const std::size_t expected = bytes.size() / 180 * (names == Names::SectionsAndListed ? 2 : 1);
    rehash(expected < 16 ? 16 : expected);
    ini_detail::HeaderLine header;
    for (std::size_t pos = ini_detail::content_start(bytes); ini_detail::next_header(bytes, pos, header);
         pos = header.next) {
        if (names == Names::SectionsAndListed) {
            add_header(header.raw_name, header.at_first_byte, header.begin);
        } else {
            ++headers_;
            const std::string_view name = ini_detail::trim(header.raw_name);
            if (!name.empty())
                insert_first(section_key(name), header.begin);
        }
    }
}

void RecordIndex::add_header(std::string_view raw_name, bool at_first_byte, std::uint64_t offset) {
    ++headers_;
    const std::string_view name = ini_detail::trim(raw_name);
    if (!name.empty())
        insert_first(section_key(name), offset);
    if (at_first_byte) {
        record_scan::for_each_listed_name(raw_name, [&](std::string_view piece) {
            if (!piece.empty())
                insert_first(listed_key(piece), offset);
        });
    }
}

std::optional<std::uint64_t> RecordIndex::first_section(std::string_view normalized_name) const {
    return normalized_name.empty() ? std::nullopt : find(section_key(normalized_name));
}

std::optional<std::uint64_t> RecordIndex::listed(std::string_view name) const {
    return name.empty() ? std::nullopt : find(listed_key(name));
}

void RecordIndex::insert_first(std::uint64_t key, std::uint64_t offset) {
    if ((used_ + 1) * 5 > slots_.size() * 4)
        rehash(slots_.size() * 2);
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t i = key & mask;; i = (i + 1) & mask) {
        if (slots_[i].key == key)
            return; // the first header of a name stays
        if (slots_[i].key == 0) {
            slots_[i] = Slot{key, offset};
            ++used_;
            return;
        }
    }
}

std::optional<std::uint64_t> RecordIndex::find(std::uint64_t key) const {
    if (slots_.empty())
        return std::nullopt;
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t i = key & mask;; i = (i + 1) & mask) {
        if (slots_[i].key == key)
            return slots_[i].offset;
        if (slots_[i].key == 0)
            return std::nullopt;
    }
}

void RecordIndex::rehash(std::size_t capacity) {
    std::size_t size = 16;
    while (size < capacity)
        size *= 2;
    std::vector<Slot> old;
    old.swap(slots_);
    slots_.assign(size, Slot{});
    used_ = 0;
    for (const Slot& slot : old)
        if (slot.key != 0)
            insert_first(slot.key, slot.offset);
}

} // namespace velpic
