// The record file read the way the INI reader reads it, but by visiting its header lines only: "[" bytes are
// found with memchr, and only the sections asked for are parsed key by key.
#pragma once

#include "records/upload_record.h"

#include <cstddef>
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

// What the full INI reading knows about one digest: whether list_ini_sections lists it, and the values of the first
// section the INI reader takes for it (names compared without letter case, blanks around them ignored).
struct DigestState {
    bool listed = false;
    std::optional<std::size_t> first; // header offset of that section
    UploadRecord values;              // its values (empty without a section)
};
// By one pass over every header (the reference the indexed lookup falls back to).
DigestState scan_digest(std::string_view bytes, std::string_view digest);
// Offset of the first header the INI reader takes for normalized_name, by one pass.
std::optional<std::size_t> first_section_named(std::string_view bytes, std::string_view normalized_name);

} // namespace velpic::record_scan
