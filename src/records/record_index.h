// Where the sections of a record file are, by name, so that a lookup reads one section instead of the whole file.
// The index only points: every answer is checked against the file's own bytes, and a mismatch (a hash collision)
// sends the caller back to a full scan.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace velpic {

class RecordIndex {
public:
    enum class Names : unsigned char { Sections, SectionsAndListed };

    // Empties the index and makes room for the sections of a file of that size.
    void reserve_for(std::size_t file_size, Names names);

    // For each section name (as the INI reader compares names: trimmed, without letter case) the offset of its first
    // header, and for each name that list_ini_sections gives the offset of a header that gives it. A name that the
    // first header of its section name gives itself is found through the section name alone, which halves the index
    // of an ordinary record file. Earlier headers keep their place.
    void add_header(std::string_view raw_name, bool at_first_byte, std::uint64_t offset);
    // The same for headers met one after another while the file is read: their slots are fetched from memory a few
    // headers ahead of storing them. finish() stores what is still queued; lookups need it done.
    void queue_header(std::string_view raw_name, bool at_first_byte, std::uint64_t offset);
    void finish();

    // Adds a section (name trimmed, not empty) and returns the offset of the first section of that name, which is
    // offset itself unless the name came before.
    std::uint64_t add_section(std::string_view name, std::uint64_t offset);
    // add_section in two steps, for callers with other work to do while the slot is fetched from memory.
    static std::uint64_t section_key(std::string_view name);
    void prefetch(std::uint64_t key) const;
    std::uint64_t add_section_key(std::uint64_t key, std::uint64_t offset);

    // Candidate offsets; the caller checks the header found there. A name the index does not list may still be
    // given by the first section of its section name.
    std::optional<std::uint64_t> first_section(std::string_view normalized_name) const;
    std::optional<std::uint64_t> listed(std::string_view name) const;

private:
    struct Slot {
        std::uint64_t key = 0; // 0: free
        std::uint64_t offset = 0;
    };
    struct Queued {
        std::uint64_t section = 0; // 0: no section name
        std::uint64_t listed = 0;  // the one listed name, stored only when its section name came before
        std::uint64_t offset = 0;
    };
    // The offset stored for key, after storing offset when key is new.
    std::uint64_t insert_first(std::uint64_t key, std::uint64_t offset);
    std::optional<std::uint64_t> find(std::uint64_t key) const;
    void rehash(std::size_t capacity);
    void store(const Queued& entry);

    std::vector<Slot> slots_;
    std::size_t used_ = 0;
    std::array<Queued, 64> queue_{};
    std::size_t queued_ = 0; // entries in queue_, oldest at queue_head_
    std::size_t queue_head_ = 0;
};

} // namespace velpic
