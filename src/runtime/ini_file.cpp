#include "runtime/ini_file.h"

#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <map>
#include <memory>
#include <mutex>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <unordered_map>

namespace velpic {
namespace {

bool is_blank(unsigned char byte) {
    return byte == ' ' || (byte >= 0x09 && byte <= 0x0D);
}
bool is_lead(unsigned char byte) {
    return byte >= 0x81 && byte <= 0xFE;
}
unsigned char fold(unsigned char byte) {
    return byte >= 'A' && byte <= 'Z' ? byte + ('a' - 'A') : byte;
}

std::string_view trim(std::string_view text) {
    while (!text.empty() && is_blank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && is_blank(text.back()))
        text.remove_suffix(1);
    return text;
}

// The caller's name as the profile functions see it: leading control bytes and blanks dropped, then trimmed.
std::string_view normalize_name(std::string_view name) {
    while (!name.empty() && static_cast<unsigned char>(name.front()) <= 0x20)
        name.remove_prefix(1);
    return trim(name);
}

// ASCII letters compare without case; a double-byte character compares as a whole, so its trail byte is never folded.
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

// Position of the first "]" that is not the trail byte of a double-byte character, npos when none.
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

std::string value_text(std::string_view value) {
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front())
        value = value.substr(1, value.size() - 2);
    value = value.substr(0, value.find('\0'));
    if (value.size() > kIniReadBufferSize - 1)
        value = value.substr(0, kIniReadBufferSize - 1);
    return std::string(value);
}

std::string default_text(std::string_view value) {
    value = value.substr(0, value.find('\0'));
    while (!value.empty() && is_blank(value.back()))
        value.remove_suffix(1);
    if (value.size() > kIniReadBufferSize - 1)
        value = value.substr(0, kIniReadBufferSize - 1);
    return std::string(value);
}

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

void parse_into(Parsed& parsed) {
    std::string_view text = parsed.bytes;
    std::size_t pos = 0;
    while (pos < text.size()) {
        Line line;
        line.begin = pos;
        std::size_t lf = text.find('\n', pos);
        line.next = lf == std::string_view::npos ? text.size() : lf + 1;
        line.content_end = lf == std::string_view::npos ? text.size() : lf;
        if (line.content_end > pos && text[line.content_end - 1] == '\r')
            --line.content_end;
        pos = line.next;

        std::string_view content = text.substr(line.begin, line.content_end - line.begin);
        std::size_t start = 0;
        while (start < content.size() && is_blank(content[start]))
            ++start;
        std::size_t close = std::string_view::npos;
        if (start < content.size() && content[start] == '[')
            close = find_closing_bracket(content, start + 1);
        if (close != std::string_view::npos) {
            line.kind = LineKind::Header;
            line.name = trim(content.substr(start + 1, close - start - 1));
            if (!parsed.sections.empty())
                parsed.sections.back().end = parsed.lines.size();
            parsed.sections.push_back(Section{line.name, parsed.lines.size(), 0});
        } else if (start < content.size() && content[start] != ';') {
            std::size_t equals = content.find('=', start);
            if (equals != std::string_view::npos) {
                line.kind = LineKind::Key;
                line.name = trim(content.substr(start, equals - start));
                line.value = trim(content.substr(equals + 1));
                line.equals = line.begin + equals;
            }
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

// Reads the whole file; false when it exists but cannot be read (a writer must not replace what it could not see).
bool read_existing(const std::filesystem::path& file, std::string& bytes, bool& exists) {
    bytes.clear();
    exists = false;
    int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return errno == ENOENT;
    exists = true;
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

bool write_all(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        ssize_t count = ::write(fd, bytes.data(), bytes.size());
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0)
            return false;
        bytes.remove_prefix(static_cast<std::size_t>(count));
    }
    return true;
}

// Replaces the file in one step: a crash leaves either the old or the new content, never a mix.
bool replace_file(const std::filesystem::path& file, std::string_view bytes, bool existed) {
    static std::atomic<unsigned> counter{0};
    std::filesystem::path temp = file;
    temp += ".tmp." + std::to_string(::getpid()) + "." + std::to_string(counter.fetch_add(1));
    int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0)
        return false;
    // The replacement keeps the permissions of the file it replaces; failing to copy them is not worth failing for.
    struct stat old_status {};
    if (existed && ::stat(file.c_str(), &old_status) == 0)
        (void)::fchmod(fd, old_status.st_mode & 07777);
    bool ok = write_all(fd, bytes) && ::fsync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    if (ok)
        ok = ::rename(temp.c_str(), file.c_str()) == 0;
    if (!ok)
        ::unlink(temp.c_str());
    return ok;
}

std::string line_ending_of(std::string_view bytes) {
    std::size_t lf = bytes.find('\n');
    if (lf != std::string_view::npos && (lf == 0 || bytes[lf - 1] != '\r'))
        return "\n";
    return "\r\n";
}

bool breaks_lines(std::string_view name) {
    return name.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

// Applies one profile write to the bytes; returns false for names that cannot be written. changed tells whether
// the bytes differ afterwards.
bool apply_write(std::string& bytes, std::string_view section, std::optional<std::string_view> key,
                 std::optional<std::string_view> value, bool& changed) {
    changed = false;
    section = normalize_name(section);
    if (section.empty() || breaks_lines(section) || find_closing_bracket(section, 0) != std::string_view::npos)
        return false;
    if (key) {
        *key = normalize_name(*key);
        if (key->empty() || breaks_lines(*key) || key->find('=') != std::string_view::npos || key->front() == '[' ||
            key->front() == ';')
            return false;
    }

    Parsed parsed;
    parsed.bytes = std::move(bytes);
    parse_into(parsed);
    std::string_view text = parsed.bytes;
    std::string out;

    if (!key) {
        std::size_t kept_from = 0;
        for (const Section& candidate : parsed.sections) {
            if (!names_equal(candidate.name, section))
                continue;
            std::size_t begin = parsed.lines[candidate.header].begin;
            std::size_t end = candidate.end < parsed.lines.size() ? parsed.lines[candidate.end].begin : text.size();
            out.append(text.substr(kept_from, begin - kept_from));
            kept_from = end;
            changed = true;
        }
        if (changed)
            out.append(text.substr(kept_from));
        bytes = changed ? std::move(out) : std::move(parsed.bytes);
        return true;
    }

    const Section* found_section = find_section(parsed, section);
    const Line* found_key = found_section ? find_key(parsed, *found_section, *key) : nullptr;

    if (!value) {
        if (found_key) {
            out.append(text.substr(0, found_key->begin));
            out.append(text.substr(found_key->next));
            changed = true;
        }
        bytes = changed ? std::move(out) : std::move(parsed.bytes);
        return true;
    }

    std::string_view new_value = value->substr(0, value->find_first_of(std::string_view("\r\n\0", 3)));
    std::string eol = line_ending_of(text);
    if (found_key) {
        // Only the value is replaced: the key's spelling and the blanks around "=" stay as the file had them.
        std::size_t value_begin = found_key->equals + 1;
        while (value_begin < found_key->content_end && is_blank(text[value_begin]))
            ++value_begin;
        if (text.substr(value_begin, found_key->content_end - value_begin) == new_value) {
            bytes = std::move(parsed.bytes);
            return true;
        }
        out.append(text.substr(0, value_begin));
        out.append(new_value);
        out.append(text.substr(found_key->content_end));
    } else if (found_section) {
        // After the last non-blank line of the section, so blank lines that separate sections stay between them.
        std::size_t last = found_section->header;
        for (std::size_t i = found_section->header + 1; i < found_section->end; ++i)
            if (!trim(text.substr(parsed.lines[i].begin, parsed.lines[i].content_end - parsed.lines[i].begin)).empty())
                last = i;
        const Line& anchor = parsed.lines[last];
        out.append(text.substr(0, anchor.next));
        if (anchor.next == anchor.content_end)
            out.append(eol);
        out.append(*key).append("=").append(new_value).append(eol);
        out.append(text.substr(anchor.next));
    } else {
        out.append(text);
        if (!out.empty() && out.back() != '\n')
            out.append(eol);
        out.append("[").append(section).append("]").append(eol);
        out.append(*key).append("=").append(new_value).append(eol);
    }
    changed = true;
    bytes = std::move(out);
    return true;
}

std::filesystem::path resolved_target(const std::filesystem::path& file) {
    std::error_code error;
    std::filesystem::path target = std::filesystem::weakly_canonical(file, error);
    if (error || target.empty())
        target = std::filesystem::absolute(file, error).lexically_normal();
    return error ? file : target;
}

std::filesystem::path usable_file(const std::filesystem::path& file) {
    const std::string& text = file.native();
    std::size_t start = 0;
    while (start < text.size() && static_cast<unsigned char>(text[start]) <= 0x20)
        ++start;
    return std::filesystem::path(text.substr(start));
}

} // namespace

struct IniFileLock::Entry {
    std::mutex mutex;
    std::atomic<std::thread::id> owner{};
    int depth = 0;
    int fd = -1;
    std::filesystem::path lock_path;
};

IniFileLock::IniFileLock(const std::filesystem::path& file) {
    static std::mutex registry_mutex;
    static std::map<std::string, std::unique_ptr<Entry>> registry;
    std::filesystem::path target = resolved_target(usable_file(file));
    {
        std::lock_guard guard(registry_mutex);
        auto& slot = registry[target.native()];
        if (!slot) {
            slot = std::make_unique<Entry>();
            slot->lock_path = target;
            slot->lock_path += ".lock";
        }
        entry_ = slot.get();
    }
    if (entry_->owner.load() == std::this_thread::get_id()) {
        ++entry_->depth;
        return;
    }
    entry_->mutex.lock();
    entry_->owner.store(std::this_thread::get_id());
    entry_->depth = 1;
    // Without a lock file (read-only directory) the write that follows fails anyway; the mutex still orders threads.
    entry_->fd = ::open(entry_->lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (entry_->fd >= 0) {
        while (::flock(entry_->fd, LOCK_EX) != 0 && errno == EINTR) {
        }
    }
}

IniFileLock::~IniFileLock() {
    if (--entry_->depth > 0)
        return;
    if (entry_->fd >= 0) {
        ::flock(entry_->fd, LOCK_UN);
        ::close(entry_->fd);
        entry_->fd = -1;
    }
    entry_->owner.store(std::thread::id{});
    entry_->mutex.unlock();
}

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

bool write_ini_entry(const std::filesystem::path& file, std::string_view section, std::optional<std::string_view> key,
                     std::optional<std::string_view> value) {
    std::filesystem::path target = usable_file(file);
    if (target.empty())
        return false;
    IniFileLock lock(target);
    target = resolved_target(target);
    std::string bytes;
    bool existed = false;
    if (!read_existing(target, bytes, existed))
        return false;
    bool changed = false;
    if (!apply_write(bytes, section, key, value, changed))
        return false;
    if (!changed)
        return true;
    return replace_file(target, bytes, existed);
}

bool write_ini_value(const std::filesystem::path& file, std::string_view section, std::string_view key,
                     std::string_view value) {
    return write_ini_entry(file, section, key, value);
}

bool delete_ini_key(const std::filesystem::path& file, std::string_view section, std::string_view key) {
    return write_ini_entry(file, section, key, std::nullopt);
}

bool delete_ini_section(const std::filesystem::path& file, std::string_view section) {
    return write_ini_entry(file, section, std::nullopt, std::nullopt);
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

const std::string& IniDocument::bytes() const {
    return data_->parsed.bytes;
}

} // namespace velpic
