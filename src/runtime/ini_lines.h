// The INI line scanner and the lookups that reading and writing share: ini_file.cpp defines them, ini_writer.cpp
// edits the bytes of a file through them, and the record file scans its headers with them.
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
// True when the last byte of text is a lead byte without its trail byte: "]" written after it would become the trail.
bool ends_with_lone_lead_byte(std::string_view text);

// Where the first line starts: after a UTF-8 byte-order mark, which editors put in front of a file.
std::size_t content_start(std::string_view text);

// A line ends at LF, at CR LF, or at a lone CR. Every other byte (NUL and 0x1A included) belongs to the line, so
// junk never ends the file early and never hides the lines after it.
struct LineEnd {
    std::size_t content_end = 0; // before the line end
    std::size_t next = 0;        // start of the following line
};
LineEnd line_end(std::string_view text, std::size_t pos);

enum class LineKind : unsigned char { Other, Header, Key };

// What one line's content (without its line end) means to the reader.
struct LineMeaning {
    LineKind kind = LineKind::Other;
    std::string_view name;  // section name of a header (trimmed), key of a key line (trimmed)
    std::string_view value; // value of a key line (trimmed, quotes kept)
    std::size_t equals = 0; // offset of the "=" of a key line within the content
};
LineMeaning classify_line(std::string_view content);

// A header line found by scanning for "[" only: the profile functions' headers (blanks may precede the "["), and
// whether the "[" is the line's first byte (the only headers list_ini_sections knows).
struct HeaderLine {
    std::size_t begin = 0;     // first byte of the line
    std::size_t next = 0;      // start of the following line
    std::string_view raw_name; // bytes between "[" and the closing "]", untrimmed
    bool at_first_byte = false;
};
// The first header line that starts at or after from (from must be a line start), or false at the end.
bool next_header(std::string_view text, std::size_t from, HeaderLine& header);
// Start of the first header line at or after from (a line start), or text.size().
std::size_t next_header_begin(std::string_view text, std::size_t from);

struct Line {
    std::size_t begin = 0;
    std::size_t content_end = 0; // before the line end
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
// A value as read back: matching quotes removed, cut at a NUL and to the read buffer.
std::string value_text(std::string_view value);

// Reads the whole file; false when it exists but cannot be read (a writer must not replace what it could not see).
bool read_existing(const std::filesystem::path& file, std::string& bytes, bool& exists);
// The file name with leading control bytes and blanks dropped, as the profile functions take it.
std::filesystem::path usable_file(const std::filesystem::path& file);

// The line end new lines of a file get: CR LF unless the file's first line ends in a bare LF.
std::string_view line_ending_of(std::string_view bytes);
// What must be written after bytes so that the next byte starts a line: nothing, the line end, or an LF after a
// last CR (a CR LF cut after its CR, or a lone CR).
std::string_view line_closing(std::string_view bytes, std::string_view eol);
// A section name the writer can put in a header that the reader finds again (already normalized).
bool writable_section_name(std::string_view section);
// A value as the writer stores it: up to its first CR, LF or NUL.
std::string_view writable_value(std::string_view value);

} // namespace velpic::ini_detail
