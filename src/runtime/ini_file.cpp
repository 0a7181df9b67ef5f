#include "runtime/ini_file.h"

#include "runtime/ini_lines.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>

namespace velpic {
namespace {

bool is_lead(unsigned char byte) {
    return byte >= 0x81 && byte <= 0xFE;
}
unsigned char fold(unsigned char byte) {
    return byte >= 'A' && byte <= 'Z' ? byte + ('a' - 'A') : byte;
}

} // namespace

namespace ini_detail {

bool is_blank(unsigned char byte) {
    return byte == ' ' || (byte >= 0x09 && byte <= 0x0D);
}

std::string_view trim(std::string_view text) {
    while (!text.empty() && is_blank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && is_blank(text.back()))
        text.remove_suffix(1);
    return text;
}

std::string_view normalize_name(std::string_view name) {
    while (!name.empty() && static_cast<unsigned char>(name.front()) <= 0x20)
        name.remove_prefix(1);
    return trim(name);
}

bool names_equal(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        auto x = static_cast<unsigned char>(a[i]);
        auto y = static_cast<unsigned char>(b[i]);
        if (is_lead(x) && i + 1 < a.size()) {
            if (x != y || a[i + 1] != b[i + 1])
                return false;
            ++i;
        } else if (fold(x) != fold(y)) {
            return false;
        }
    }
    return true;
}

std::size_t find_closing_bracket(std::string_view text, std::size_t from) {
    for (std::size_t i = from; i < text.size(); ++i) {
        auto byte = static_cast<unsigned char>(text[i]);
        if (byte == ']')
            return i;
        if (is_lead(byte) && i + 1 < text.size())
            ++i;
    }
    return std::string_view::npos;
}

bool ends_with_lone_lead_byte(std::string_view text) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (is_lead(static_cast<unsigned char>(text[i]))) {
            if (i + 1 == text.size())
                return true;
            ++i;
        }
    }
    return false;
}

std::size_t content_start(std::string_view text) {
    return text.starts_with("\xEF\xBB\xBF") ? 3 : 0;
}

LineEnd line_end(std::string_view text, std::size_t pos) {
    std::size_t i = pos;
    while (i < text.size() && text[i] != '\n' && text[i] != '\r')
        ++i;
    if (i == text.size())
        return {i, i};
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')
        return {i, i + 2};
    return {i, i + 1};
}

LineMeaning classify_line(std::string_view content) {
    LineMeaning meaning;
    std::size_t start = 0;
    while (start < content.size() && is_blank(content[start]))
        ++start;
    if (start == content.size())
        return meaning;
    if (content[start] == '[') {
        std::size_t close = find_closing_bracket(content, start + 1);
        if (close != std::string_view::npos) {
            meaning.kind = LineKind::Header;
            meaning.name = trim(content.substr(start + 1, close - start - 1));
            return meaning;
        }
    }
    if (content[start] == ';')
        return meaning;
    std::size_t equals = content.find('=', start);
    if (equals != std::string_view::npos) {
        meaning.kind = LineKind::Key;
        meaning.name = trim(content.substr(start, equals - start));
        meaning.value = trim(content.substr(equals + 1));
        meaning.equals = equals;
    }
    return meaning;
}

namespace {
bool is_line_break(char byte) {
    return byte == '\n' || byte == '\r';
}
// True when no byte of the n at p is a line break or above 0x7F (so none can be a trail byte); eight at a time.
bool plain_line_bytes(const char* p, std::size_t n) {
    constexpr std::uint64_t ones = 0x0101010101010101ull;
    constexpr std::uint64_t highs = 0x8080808080808080ull;
    std::size_t j = 0;
    for (; j + 8 <= n; j += 8) {
        std::uint64_t word;
        std::memcpy(&word, p + j, 8);
        const std::uint64_t lf = word ^ (ones * '\n');
        const std::uint64_t cr = word ^ (ones * '\r');
        if ((word & highs) || (((lf - ones) & ~lf) & highs) || (((cr - ones) & ~cr) & highs))
            return false;
    }
    for (; j < n; ++j)
        if (static_cast<unsigned char>(p[j]) >= 0x80 || is_line_break(p[j]))
            return false;
    return true;
}
bool is_inline_blank(char byte) {
    return byte == ' ' || byte == '\t' || byte == '\v' || byte == '\f';
}
} // namespace

bool next_header(std::string_view text, std::size_t from, HeaderLine& header) {
    const char* base = text.data();
    std::size_t pos = from;
    while (pos < text.size()) {
        const void* hit = std::memchr(base + pos, '[', text.size() - pos);
        if (hit == nullptr)
            return false;
        const std::size_t bracket = static_cast<std::size_t>(static_cast<const char*>(hit) - base);
        pos = bracket + 1;
        // Only blanks may stand between the line start and the "[": then it is no trail byte either.
        std::size_t begin = bracket;
        while (begin > from && is_inline_blank(text[begin - 1]))
            --begin;
        if (begin != from && !is_line_break(text[begin - 1]))
            continue;
        std::size_t close = std::string_view::npos;
        std::size_t i = bracket + 1;
        // Most names are plain ASCII: then the first "]" before the line end closes the header.
        const void* plain_close = std::memchr(base + i, ']', std::min<std::size_t>(text.size() - i, 256));
        if (plain_close != nullptr) {
            const auto at = static_cast<std::size_t>(static_cast<const char*>(plain_close) - base);
            if (plain_line_bytes(base + i, at - i))
                close = at;
        }
        for (; close == std::string_view::npos && i < text.size() && !is_line_break(text[i]); ++i) {
            if (text[i] == ']') {
                close = i;
                break;
            }
            if (is_lead(static_cast<unsigned char>(text[i])) && i + 1 < text.size() && !is_line_break(text[i + 1]))
                ++i;
        }
        if (close == std::string_view::npos) {
            pos = i;
            continue;
        }
        header.begin = begin;
        header.next = line_end(text, close + 1).next;
        header.raw_name = text.substr(bracket + 1, close - bracket - 1);
        header.at_first_byte = begin == bracket;
        return true;
    }
    return false;
}

std::size_t next_header_begin(std::string_view text, std::size_t from) {
    HeaderLine header;
    return next_header(text, from, header) ? header.begin : text.size();
}

void parse_into(Parsed& parsed) {
    std::string_view text = parsed.bytes;
    std::size_t pos = content_start(text);
    while (pos < text.size()) {
        Line line;
        line.begin = pos;
        const LineEnd end = line_end(text, pos);
        line.content_end = end.content_end;
        line.next = end.next;
        pos = line.next;

        const LineMeaning meaning = classify_line(text.substr(line.begin, line.content_end - line.begin));
        line.kind = meaning.kind;
        line.name = meaning.name;
        line.value = meaning.value;
        if (meaning.kind == LineKind::Header) {
            if (!parsed.sections.empty())
                parsed.sections.back().end = parsed.lines.size();
            parsed.sections.push_back(Section{line.name, parsed.lines.size(), 0});
        } else if (meaning.kind == LineKind::Key) {
            line.equals = line.begin + meaning.equals;
        }
        parsed.lines.push_back(line);
    }
    if (!parsed.sections.empty())
        parsed.sections.back().end = parsed.lines.size();
}

const Line* find_key(const Parsed& parsed, const Section& section, std::string_view key) {
    for (std::size_t i = section.header + 1; i < section.end; ++i) {
        const Line& line = parsed.lines[i];
        if (line.kind == LineKind::Key && names_equal(line.name, key))
            return &line;
    }
    return nullptr;
}

const Section* find_section(const Parsed& parsed, std::string_view section) {
    for (const Section& candidate : parsed.sections)
        if (names_equal(candidate.name, section))
            return &candidate;
    return nullptr;
}

std::string value_text(std::string_view value) {
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front())
        value = value.substr(1, value.size() - 2);
    value = value.substr(0, value.find('\0'));
    if (value.size() > kIniReadBufferSize - 1)
        value = value.substr(0, kIniReadBufferSize - 1);
    return std::string(value);
}

bool read_existing(const std::filesystem::path& file, std::string& bytes, bool& exists) {
    bytes.clear();
    exists = false;
    // Non-blocking, so that a FIFO in the file's place is refused at once instead of waiting for a writer.
    int fd = ::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
        return errno == ENOENT;
    exists = true;
    struct stat status {};
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        ::close(fd);
        return false;
    }
    bytes.reserve(static_cast<std::size_t>(status.st_size));
    char chunk[65536];
    for (;;) {
        ssize_t count = ::read(fd, chunk, sizeof chunk);
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0) {
            ::close(fd);
            return false;
        }
        if (count == 0)
            break;
        bytes.append(chunk, static_cast<std::size_t>(count));
    }
    ::close(fd);
    return true;
}

std::filesystem::path usable_file(const std::filesystem::path& file) {
    const std::string& text = file.native();
    std::size_t start = 0;
    while (start < text.size() && static_cast<unsigned char>(text[start]) <= 0x20)
        ++start;
    return std::filesystem::path(text.substr(start));
}

} // namespace ini_detail

using namespace ini_detail;

namespace {

std::string folded(std::string_view name) {
    std::string out(name);
    for (std::size_t i = 0; i < out.size(); ++i) {
        auto byte = static_cast<unsigned char>(out[i]);
        if (is_lead(byte) && i + 1 < out.size())
            ++i;
        else
            out[i] = static_cast<char>(fold(byte));
    }
    return out;
}

std::string default_text(std::string_view value) {
    value = value.substr(0, value.find('\0'));
    while (!value.empty() && is_blank(value.back()))
        value.remove_suffix(1);
    if (value.size() > kIniReadBufferSize - 1)
        value = value.substr(0, kIniReadBufferSize - 1);
    return std::string(value);
}

} // namespace

std::string read_ini_value(const std::filesystem::path& file, std::string_view section, std::string_view key,
                           std::string_view default_value) {
    std::filesystem::path target = usable_file(file);
    section = normalize_name(section);
    key = normalize_name(key);
    if (target.empty() || section.empty() || key.empty())
        return {};
    Parsed parsed;
    bool exists = false;
    if (!read_existing(target, parsed.bytes, exists) || !exists)
        return default_text(default_value);
    parse_into(parsed);
    const Section* found_section = find_section(parsed, section);
    const Line* found_key = found_section ? find_key(parsed, *found_section, key) : nullptr;
    return found_key ? value_text(found_key->value) : default_text(default_value);
}

struct IniDocument::Data {
    Parsed parsed;
    mutable std::once_flag indexed;
    mutable std::unordered_map<std::string, std::size_t> first_section; // folded name -> index in sections
};

IniDocument::IniDocument() : data_(std::make_unique<Data>()) {}
IniDocument::~IniDocument() = default;
IniDocument::IniDocument(IniDocument&&) noexcept = default;
IniDocument& IniDocument::operator=(IniDocument&&) noexcept = default;

IniDocument IniDocument::load(const std::filesystem::path& file) {
    std::string bytes;
    bool exists = false;
    std::filesystem::path target = usable_file(file);
    if (target.empty() || !read_existing(target, bytes, exists))
        bytes.clear();
    return parse(std::move(bytes));
}

IniDocument IniDocument::parse(std::string bytes) {
    IniDocument document;
    document.data_->parsed.bytes = std::move(bytes);
    parse_into(document.data_->parsed);
    return document;
}

namespace {
const Section* indexed_section(const Parsed& parsed, std::once_flag& once,
                               std::unordered_map<std::string, std::size_t>& index, std::string_view section) {
    std::call_once(once, [&] {
        index.reserve(parsed.sections.size());
        for (std::size_t i = 0; i < parsed.sections.size(); ++i)
            index.emplace(folded(parsed.sections[i].name), i); // emplace keeps the first of duplicates
    });
    auto it = index.find(folded(section));
    return it == index.end() ? nullptr : &parsed.sections[it->second];
}
} // namespace

std::string IniDocument::value(std::string_view section, std::string_view key, std::string_view default_value) const {
    section = normalize_name(section);
    key = normalize_name(key);
    if (section.empty() || key.empty())
        return {};
    const Section* found_section = indexed_section(data_->parsed, data_->indexed, data_->first_section, section);
    const Line* found_key = found_section ? find_key(data_->parsed, *found_section, key) : nullptr;
    return found_key ? value_text(found_key->value) : default_text(default_value);
}

bool IniDocument::has_section(std::string_view section) const {
    section = normalize_name(section);
    return !section.empty() && indexed_section(data_->parsed, data_->indexed, data_->first_section, section) != nullptr;
}

std::vector<std::string> IniDocument::section_names() const {
    std::vector<std::string> names;
    std::unordered_map<std::string, bool> seen;
    for (const Section& section : data_->parsed.sections)
        if (seen.emplace(folded(section.name), true).second)
            names.emplace_back(section.name);
    return names;
}

std::optional<std::pair<std::string, std::string>> IniDocument::first_value_with_nul() const {
    const Parsed& parsed = data_->parsed;
    for (const Section& section : parsed.sections)
        for (std::size_t i = section.header + 1; i < section.end; ++i) {
            const Line& line = parsed.lines[i];
            if (line.kind == LineKind::Key && line.value.find('\0') != std::string_view::npos)
                return std::pair{std::string(section.name), std::string(line.name)};
        }
    return std::nullopt;
}

const std::string& IniDocument::bytes() const {
    return data_->parsed.bytes;
}

} // namespace velpic
