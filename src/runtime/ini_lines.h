// The INI line scanner and the lookups that reading and writing share: ini_file.cpp defines them, ini_writer.cpp
// edits the bytes of a file through them.
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace velpic::ini_detail {

bool is_blank(unsigned char byte);
std::string_view trim(std::string_view text);
// The caller's name as the profile functions see it: leading control bytes and blanks dropped, then trimmed.
std::string_view normalize_name(std::string_view name);
// ASCII letters compare without case; a double-byte character compares as a whole, so its trail byte is never folded.
bool names_equal(std::string_view a, std::string_view b);
// Position of the first "]" that is not the trail byte of a double-byte character, npos when none.
std::size_t find_closing_bracket(std::string_view text, std::size_t from);

enum class LineKind : unsigned char { Other, Header, Key };

struct Line {
    std::size_t begin = 0;
    std::size_t content_end = 0; // before the line feed and a carriage return before it
    std::size_t next = 0;        // start of the following line
    LineKind kind = LineKind::Other;
    std::string_view name;  // section name of a header, key of a key line (trimmed)
    std::string_view value; // value of a key line (trimmed, quotes kept)
    std::size_t equals = 0; // offset of the "=" of a key line
};

struct Section {
    std::string_view name;
    std::size_t header = 0; // index of the header line
    std::size_t end = 0;    // index of the first line after the section
};

struct Parsed {
    std::string bytes;
    std::vector<Line> lines;
    std::vector<Section> sections;
};

void parse_into(Parsed& parsed);
const Line* find_key(const Parsed& parsed, const Section& section, std::string_view key);
const Section* find_section(const Parsed& parsed, std::string_view section);

// Reads the whole file; false when it exists but cannot be read (a writer must not replace what it could not see).
bool read_existing(const std::filesystem::path& file, std::string& bytes, bool& exists);
// The file name with leading control bytes and blanks dropped, as the profile functions take it.
std::filesystem::path usable_file(const std::filesystem::path& file);

} // namespace velpic::ini_detail
