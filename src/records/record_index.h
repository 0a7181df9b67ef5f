// Where the sections of a record file are, by name, so that a lookup reads one section instead of the whole file.
// The index only points: every answer is checked against the file's own bytes, and a mismatch (a hash collision)
// sends the caller back to a full scan.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace velpic {

class RecordIndex {
public:
    enum class Names : unsigned char { Sections, SectionsAndListed };

    // Indexes every header of bytes: for each section name (as the INI reader compares names: trimmed, without
    // letter case) the offset of its first header and, with Names::SectionsAndListed, for each name that
    // list_ini_sections gives the offset of the first header that gives it.
    void build(std::string_view bytes, Names names);
    // Adds a header line appended at offset; earlier headers of the same name keep their place.
    void add_header(std::string_view raw_name, bool at_first_byte, std::uint64_t offset);

    // Candidate offsets; the caller checks the header found there.
    std::optional<std::uint64_t> first_section(std::string_view normalized_name) const;
    std::optional<std::uint64_t> listed(std::string_view name) const;

    // Header lines seen by build and add_header.
    std::size_t headers() const { return headers_; }

private:
    struct Slot {
        std::uint64_t key = 0; // 0: free
        std::uint64_t offset = 0;
    };
    void insert_first(std::uint64_t key, std::uint64_t offset);
    std::optional<std::uint64_t> find(std::uint64_t key) const;
    void rehash(std::size_t capacity);

    std::vector<Slot> slots_;
    std::size_t used_ = 0;
    std::size_t headers_ = 0;
};

} // namespace velpic
