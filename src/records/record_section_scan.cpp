#include "records/record_section_scan.h"

#include "runtime/ini_lines.h"

namespace velpic::record_scan {

using namespace ini_detail;

std::size_t section_end(std::string_view bytes, std::size_t header_begin) {
    return next_header_begin(bytes, line_end(bytes, header_begin).next);
}

UploadRecord section_record(std::string_view bytes, std::size_t header_begin) {
    UploadRecord record;
    std::string* const fields[] = {&record.ImgMd5, &record.ImgType, &record.ImgUploadTime, &record.ImgUrl};
    constexpr std::string_view keys[] = {"ImgMd5", "ImgType", "ImgUploadTime", "ImgUrl"};
    bool found[4] = {false, false, false, false};
    int missing = 4;
    std::size_t pos = line_end(bytes, header_begin).next;
    while (pos < bytes.size() && missing > 0) {
        const LineEnd end = line_end(bytes, pos);
        const LineMeaning meaning = classify_line(bytes.substr(pos, end.content_end - pos));
        if (meaning.kind == LineKind::Header)
            break;
        if (meaning.kind == LineKind::Key) {
            for (int i = 0; i < 4; ++i) {
                if (!found[i] && names_equal(meaning.name, keys[i])) {
                    found[i] = true;
                    --missing;
                    *fields[i] = value_text(meaning.value);
                    break;
                }
            }
        }
        pos = end.next;
    }
    return record;
}

bool is_listed_name(std::string_view raw_name, std::string_view name) {
    bool listed = false;
    for_each_listed_name(raw_name, [&](std::string_view piece) { listed = listed || piece == name; });
    return listed;
}

DigestState scan_digest(std::string_view bytes, std::string_view digest) {
    DigestState state;
    const std::string_view wanted = normalize_name(digest);
    HeaderLine header;
    std::size_t pos = content_start(bytes);
    while ((!state.listed || !state.first) && next_header(bytes, pos, header)) {
        if (!state.first && !wanted.empty() && names_equal(trim(header.raw_name), wanted))
            state.first = header.begin;
        if (!state.listed && header.at_first_byte && !digest.empty())
            state.listed = is_listed_name(header.raw_name, digest);
        pos = header.next;
    }
    if (state.first)
        state.values = section_record(bytes, *state.first);
    return state;
}

std::optional<std::size_t> first_section_named(std::string_view bytes, std::string_view normalized_name) {
    HeaderLine header;
    for (std::size_t pos = content_start(bytes); next_header(bytes, pos, header); pos = header.next)
        if (names_equal(trim(header.raw_name), normalized_name))
            return header.begin;
    return std::nullopt;
}

} // namespace velpic::record_scan
