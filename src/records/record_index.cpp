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

std::uint64_t listed_key(std::string_view name) {
    const std::uint64_t h = hash_words<false>(name) ^ kListedSalt;
    return h == 0 ? 1 : h;
}

} // namespace

// Equal for names that ini_detail::names_equal finds equal: ASCII letters folded, double-byte characters whole.
std::uint64_t RecordIndex::section_key(std::string_view name) {
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

void RecordIndex::reserve_for(std::size_t file_size, Names names) {
    slots_.clear();
    used_ = 0;
    queued_ = 0;
    queue_head_ = 0;
    // A record takes about 190 bytes and mostly needs one entry; start near the final size to spare most rehashes.
    const std::size_t expected = file_size / 160 * (names == Names::SectionsAndListed ? 5 : 4) / 4;
    rehash(expected < 16 ? 16 : expected);
}

void RecordIndex::add_header(std::string_view raw_name, bool at_first_byte, std::uint64_t offset) {
    queue_header(raw_name, at_first_byte, offset);
    finish();
}

void RecordIndex::queue_header(std::string_view raw_name, bool at_first_byte, std::uint64_t offset) {
    const std::string_view name = ini_detail::trim(raw_name);
    Queued entry;
    entry.offset = offset;
    if (!name.empty())
        entry.section = section_key(name);
    if (at_first_byte) {
        // The usual header gives one name, and a lookup of that name arrives at this section by the section name.
        if (raw_name.find('|') == std::string_view::npos && !raw_name.empty() &&
            ini_detail::normalize_name(raw_name) == name) {
            entry.listed = listed_key(raw_name);
        } else {
            finish(); // rare: store in file order, every name it gives
            store(entry);
            record_scan::for_each_listed_name(raw_name, [&](std::string_view piece) {
                if (!piece.empty())
                    insert_first(listed_key(piece), offset);
            });
            return;
        }
    }
    if (entry.section != 0)
        prefetch(entry.section);
    if (queued_ == queue_.size()) {
        store(queue_[queue_head_]);
        queue_head_ = (queue_head_ + 1) % queue_.size();
        --queued_;
    }
    queue_[(queue_head_ + queued_) % queue_.size()] = entry;
    ++queued_;
}

void RecordIndex::finish() {
    for (; queued_ > 0; --queued_) {
        store(queue_[queue_head_]);
        queue_head_ = (queue_head_ + 1) % queue_.size();
    }
    queue_head_ = 0;
}

void RecordIndex::store(const Queued& entry) {
    const bool first_of_name = entry.section == 0 || insert_first(entry.section, entry.offset) == entry.offset;
    // A later header of the name (or one without a section name) is not found through the section name.
    if (entry.listed != 0 && !(first_of_name && entry.section != 0))
        insert_first(entry.listed, entry.offset);
}

std::uint64_t RecordIndex::add_section(std::string_view name, std::uint64_t offset) {
    return add_section_key(section_key(name), offset);
}

std::uint64_t RecordIndex::add_section_key(std::uint64_t key, std::uint64_t offset) {
    return insert_first(key, offset);
}

void RecordIndex::prefetch(std::uint64_t key) const {
    if (!slots_.empty())
        __builtin_prefetch(&slots_[key & (slots_.size() - 1)]);
}

std::optional<std::uint64_t> RecordIndex::first_section(std::string_view normalized_name) const {
    return normalized_name.empty() ? std::nullopt : find(section_key(normalized_name));
}

std::optional<std::uint64_t> RecordIndex::listed(std::string_view name) const {
    return name.empty() ? std::nullopt : find(listed_key(name));
}

std::uint64_t RecordIndex::insert_first(std::uint64_t key, std::uint64_t offset) {
    if ((used_ + 1) * 5 > slots_.size() * 4)
        rehash(slots_.size() * 2);
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t i = key & mask;; i = (i + 1) & mask) {
        if (slots_[i].key == key)
            return slots_[i].offset; // the first header of a name stays
        if (slots_[i].key == 0) {
            slots_[i] = Slot{key, offset};
            ++used_;
            return offset;
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
