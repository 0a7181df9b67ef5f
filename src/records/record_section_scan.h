// The record file read the way the INI reader reads it, but by visiting its header lines only: "[" bytes are
// found with memchr, and only the sections asked for are parsed key by key.
#pragma once

#include "records/upload_record.h"

#include "runtime/ini_lines.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>
#include <vector>

namespace velpic::record_scan {

// The end of the section whose header line starts at header_begin: the next header line or the end of bytes.
std::size_t section_end(std::string_view bytes, std::size_t header_begin);
// ImgMd5, ImgType, ImgUploadTime and ImgUrl of the section whose header line starts at header_begin, each from
// the first line of its key, as the INI reader gives them (missing keys are empty).
UploadRecord section_record(std::string_view bytes, std::size_t header_begin);

// Calls fn for each name that list_ini_sections makes of a header's raw name: the name is cut at every "|" that
// is not the trail byte of a double-byte character.
template <class Fn> void for_each_listed_name(std::string_view raw_name, Fn&& fn) {
    std::size_t from = 0;
    for (std::size_t i = 0; i < raw_name.size(); ++i) {
        const auto byte = static_cast<unsigned char>(raw_name[i]);
        if (byte == '|') {
            fn(raw_name.substr(from, i - from));
            from = i + 1;
        } else if (byte >= 0x81 && byte <= 0xFE && i + 1 < raw_name.size()) {
            ++i;
        }
    }
    fn(raw_name.substr(from));
}
bool is_listed_name(std::string_view raw_name, std::string_view name);

// Gives up to room bytes of a file into out, in order: how many, 0 at the end, nullopt on a read error.
using ByteSource = std::function<std::optional<std::size_t>(char* out, std::size_t room)>;
// A section as for_each_section hands it over: its bytes from its header line up to the next header line, where
// they start in the file, and its header line (offsets relative to text).
struct SectionText {
    std::string_view text;
    std::uint64_t offset = 0;
    ini_detail::HeaderLine header;
};
// Calls on_section for every section of the bytes, in file order, reading them through a buffer that holds about
// one chunk (or one section, when a section is longer): a large file is never in memory as a whole, and the
// buffer stays in the processor's cache. False on a read error.
bool for_each_section(const ByteSource& source, const std::function<void(const SectionText&)>& on_section);
ByteSource bytes_source(std::string_view bytes);

// What the full INI reading knows about one digest: whether list_ini_sections lists it, and the values of the first
// section the INI reader takes for it (names compared without letter case, blanks around them ignored).
struct DigestState {
    bool listed = false;
    std::optional<std::uint64_t> first; // header offset of that section
    UploadRecord values;                // its values (empty without a section)
};
// By one pass over every section (what the indexed lookup falls back to).
std::optional<DigestState> scan_digest(const ByteSource& source, std::string_view digest);
// The values of the first section the INI reader takes for normalized_name, by one pass; nullopt without one.
std::optional<UploadRecord> first_section_values(const ByteSource& source, std::string_view normalized_name);

} // namespace velpic::record_scan
