#include "records/record_section_scan.h"

#include <algorithm>
#include <cstring>
#include <string>

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

bool for_each_section(const ByteSource& source, const std::function<void(const SectionText&)>& on_section) {
    constexpr std::size_t kChunk = 256 * 1024;
    std::string buffer(kChunk, '\0');
    std::size_t filled = 0;
    std::uint64_t base = 0; // file offset of buffer[0]
    std::size_t scan_from = 0;
    bool first_chunk = true;
    for (;;) {
        bool at_end = false;
        while (filled < buffer.size()) {
            const std::optional<std::size_t> got = source(buffer.data() + filled, buffer.size() - filled);
            if (!got)
                return false;
            if (*got == 0) {
                at_end = true;
                break;
            }
            filled += *got;
        }
        const std::string_view text(buffer.data(), filled);
        if (first_chunk) {
            scan_from = content_start(text);
            first_chunk = false;
        }
        std::optional<HeaderLine> current;
        auto hand_over = [&](std::size_t end) {
            HeaderLine header = *current;
            header.begin = 0;
            header.next -= current->begin;
            on_section(SectionText{text.substr(current->begin, end - current->begin), base + current->begin, header});
        };
        HeaderLine header;
        for (std::size_t pos = scan_from; next_header(text, pos, header); pos = header.next) {
            if (current)
                hand_over(header.begin);
            current = header;
        }
        if (at_end) {
            if (current)
                hand_over(text.size());
            return true;
        }
        // The last section may go on in the next chunk; without one, the last line may still become a header.
        std::size_t keep = scan_from;
        if (current) {
            keep = current->begin;
        } else {
            const std::size_t last_break = text.find_last_of("\r\n");
            if (last_break != std::string_view::npos && last_break + 1 > scan_from)
                keep = last_break + 1;
        }
        if (keep == 0) {
            buffer.resize(buffer.size() * 2); // one section longer than the buffer
        } else {
            std::memmove(buffer.data(), buffer.data() + keep, filled - keep);
            filled -= keep;
            base += keep;
        }
        scan_from = 0;
    }
}

ByteSource bytes_source(std::string_view bytes) {
    return [bytes](char* out, std::size_t room) mutable -> std::optional<std::size_t> {
        const std::size_t count = std::min(room, bytes.size());
        std::memcpy(out, bytes.data(), count);
        bytes.remove_prefix(count);
        return count;
    };
}

bool is_listed_name(std::string_view raw_name, std::string_view name) {
    if (raw_name.find('|') == std::string_view::npos) // the usual header gives its name whole
        return raw_name == name;
    bool listed = false;
    for_each_listed_name(raw_name, [&](std::string_view piece) { listed = listed || piece == name; });
    return listed;
}

std::optional<DigestState> scan_digest(const ByteSource& source, std::string_view digest) {
    DigestState state;
    const std::string_view wanted = normalize_name(digest);
    const bool read = for_each_section(source, [&](const SectionText& section) {
        if (!state.first && !wanted.empty() && names_equal(trim(section.header.raw_name), wanted)) {
            state.first = section.offset;
            state.values = section_record(section.text, 0);
        }
        if (!state.listed && section.header.at_first_byte && !digest.empty())
            state.listed = is_listed_name(section.header.raw_name, digest);
    });
    if (!read)
        return std::nullopt;
    return state;
}

std::optional<UploadRecord> first_section_values(const ByteSource& source, std::string_view normalized_name) {
    std::optional<UploadRecord> values;
    const bool read = for_each_section(source, [&](const SectionText& section) {
        if (!values && names_equal(trim(section.header.raw_name), normalized_name))
            values = section_record(section.text, 0);
    });
    return read ? values : std::nullopt;
}

} // namespace velpic::record_scan
