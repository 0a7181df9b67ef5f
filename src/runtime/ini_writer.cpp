#include "runtime/ini_file.h"

#include "runtime/files.h"
#include "runtime/ini_lines.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <dirent.h>
#include <fcntl.h>
#include <map>
#include <memory>
#include <mutex>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace velpic {

namespace ini_detail {

std::string_view line_ending_of(std::string_view bytes) {
    std::size_t lf = bytes.find('\n');
    if (lf != std::string_view::npos && (lf == 0 || bytes[lf - 1] != '\r'))
        return "\n";
    return "\r\n";
}

std::string_view line_closing(std::string_view bytes, std::string_view eol) {
    if (bytes.size() == content_start(bytes) || bytes.back() == '\n')
        return {};
    // A last CR already ends the line here; the LF makes it a line end for every reader.
    if (bytes.back() == '\r')
        return "\n";
    return eol;
}

bool writable_section_name(std::string_view section) {
    return !section.empty() && section.find_first_of(std::string_view("\r\n\0", 3)) == std::string_view::npos &&
           find_closing_bracket(section, 0) == std::string_view::npos && !ends_with_lone_lead_byte(section);
}

std::string_view writable_value(std::string_view value) {
    return value.substr(0, value.find_first_of(std::string_view("\r\n\0", 3)));
}

} // namespace ini_detail

using namespace ini_detail;

namespace {

constexpr std::string_view kTemporaryMark = ".tmp.";

// The files written here (settings, records, link statuses) are the user's alone: other local users must not read
// which pictures were uploaded, nor the token. A file is created 0600; one left more open by an older version
// keeps only its owner's bits from its next write on.
constexpr mode_t kPrivateFile = 0600;
mode_t owner_bits(mode_t mode) {
    return mode & 07700;
}

// Replaces the file in one step: a crash leaves either the old or the new content, never a mix.
bool replace_file(const std::filesystem::path& file, std::string_view bytes, bool existed) {
    static std::atomic<unsigned> counter{0};
    std::filesystem::path temp = file;
    temp += std::string(kTemporaryMark) + std::to_string(::getpid()) + "." + std::to_string(counter.fetch_add(1));
    int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, kPrivateFile);
    if (fd < 0)
        return false;
    // The replacement keeps the owner's permissions of the file it replaces; failing to copy them is not worth
    // failing for.
    struct stat old_status {};
    if (existed && ::stat(file.c_str(), &old_status) == 0)
        (void)::fchmod(fd, owner_bits(old_status.st_mode));
    bool ok = write_all_bytes(fd, bytes) && ::fsync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    if (ok)
        ok = ::rename(temp.c_str(), file.c_str()) == 0;
    if (!ok)
        ::unlink(temp.c_str());
    return ok;
}

// A temporary file of target is named "<file>.tmp.<pid>.<n>". One whose process is gone was left by a kill
// and is never renamed into place; neither is one of this process, as no write of target is running while
// the caller holds the file lock. Without this, every killed write would leave a full copy of the file behind.
void remove_stale_temporaries(const std::filesystem::path& target) {
    const std::string prefix = target.filename().string() + std::string(kTemporaryMark);
    std::filesystem::path directory = target.parent_path();
    DIR* listing = ::opendir(directory.empty() ? "." : directory.c_str());
    if (listing == nullptr)
        return;
    const pid_t self = ::getpid();
    while (const dirent* entry = ::readdir(listing)) {
        std::string_view name = entry->d_name;
        if (!name.starts_with(prefix))
            continue;
        name.remove_prefix(prefix.size());
        const std::size_t dot = name.find('.');
        if (dot == 0 || dot == std::string_view::npos || dot > 9 || dot + 1 == name.size() ||
            name.find_first_not_of("0123456789") != dot ||
            name.find_first_not_of("0123456789", dot + 1) != std::string_view::npos)
            continue;
        const pid_t pid = static_cast<pid_t>(std::stol(std::string(name.substr(0, dot))));
        if (pid <= 0)
            continue; // kill() would address a process group
        if (pid == self || (::kill(pid, 0) != 0 && errno == ESRCH))
            ::unlinkat(::dirfd(listing), entry->d_name, 0);
    }
    ::closedir(listing);
}

bool breaks_lines(std::string_view name) {
    return name.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

bool writable_key_name(std::string_view key) {
    return !key.empty() && !breaks_lines(key) && key.find('=') == std::string_view::npos && key.front() != '[' &&
           key.front() != ';';
}

// Applies one profile write to the bytes; returns false for names that cannot be written. changed tells whether
// the bytes differ afterwards.
bool apply_write(std::string& bytes, std::string_view section, std::optional<std::string_view> key,
                 std::optional<std::string_view> value, bool& changed) {
    changed = false;
    section = normalize_name(section);
    if (!writable_section_name(section))
        return false;
    if (key) {
        *key = normalize_name(*key);
        if (!writable_key_name(*key))
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

    std::string_view new_value = writable_value(*value);
    std::string_view eol = line_ending_of(text);
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
        if (anchor.next == text.size())
            out.append(line_closing(out, eol));
        out.append(*key).append("=").append(new_value).append(eol);
        out.append(text.substr(anchor.next));
    } else {
        out.append(text);
        out.append(line_closing(out, eol));
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
    entry_->fd = ::open(entry_->lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, kPrivateFile);
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

bool rewrite_ini_file(const std::filesystem::path& file, const std::function<bool(std::string& bytes)>& edit) {
    std::filesystem::path target = usable_file(file);
    if (target.empty())
        return false;
    IniFileLock lock(target);
    target = resolved_target(target);
    std::string bytes;
    bool existed = false;
    if (!read_existing(target, bytes, existed))
        return false;
    const std::string before = bytes;
    if (!edit(bytes))
        return false;
    if (existed && bytes == before)
        return true;
    if (!existed && bytes.empty())
        return true; // nothing to write must not create the file
    remove_stale_temporaries(target);
    return replace_file(target, bytes, existed);
}

bool write_ini_values(const std::filesystem::path& file, std::span<const IniEdit> edits) {
    return rewrite_ini_file(file, [&](std::string& bytes) {
        for (const IniEdit& edit : edits) {
            bool changed = false;
            if (!apply_write(bytes, edit.section, edit.key, edit.value, changed))
                return false;
        }
        return true;
    });
}

bool write_ini_entry(const std::filesystem::path& file, std::string_view section, std::optional<std::string_view> key,
                     std::optional<std::string_view> value) {
    const IniEdit edit{section, key, value};
    return write_ini_values(file, std::span<const IniEdit>(&edit, 1));
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

namespace {

// The bytes of a new section, entries in order, each line ended the file's way.
bool format_section(std::string_view section, std::span<const IniKeyValue> entries, std::string_view eol,
                    std::string& out) {
    section = normalize_name(section);
    if (!writable_section_name(section))
        return false;
    out.append("[").append(section).append("]").append(eol);
    for (const IniKeyValue& entry : entries) {
        std::string_view key = normalize_name(entry.key);
        if (!writable_key_name(key))
            return false;
        out.append(key).append("=").append(writable_value(entry.value)).append(eol);
    }
    return true;
}

// The line end of an existing file and what closes its last line, from its first line and its last bytes only.
bool append_layout(int fd, off_t size, std::string_view& eol, std::string_view& closing) {
    eol = "\r\n";
    char chunk[4096];
    char before = '\0';
    for (off_t offset = 0; offset < size;) {
        std::size_t got = 0;
        if (!read_file_at(fd, chunk, sizeof chunk, offset, got))
            return false;
        if (got == 0)
            break;
        std::string_view part(chunk, got);
        std::size_t lf = part.find('\n');
        if (lf != std::string_view::npos) {
            const char previous = lf == 0 ? before : part[lf - 1];
            eol = (offset + static_cast<off_t>(lf) == 0 || previous != '\r') ? "\n" : "\r\n";
            break;
        }
        before = part.back();
        offset += static_cast<off_t>(got);
    }
    char tail[3];
    std::size_t got = 0;
    const off_t tail_size = std::min<off_t>(size, 3);
    if (!read_file_at(fd, tail, static_cast<std::size_t>(tail_size), size - tail_size, got) ||
        got != static_cast<std::size_t>(tail_size))
        return false;
    // Only a file this short can consist of nothing but a byte-order mark.
    closing = size <= 3 ? line_closing(std::string_view(tail, got), eol)
                        : line_closing(std::string_view(tail + got - 1, 1), eol);
    return true;
}

} // namespace

bool append_ini_text(std::string& bytes, std::string_view section, std::span<const IniKeyValue> entries) {
    std::string text(line_closing(bytes, line_ending_of(bytes)));
    if (!format_section(section, entries, line_ending_of(bytes), text))
        return false;
    bytes.append(text);
    return true;
}

bool append_ini_section(const std::filesystem::path& file, std::string_view section,
                        std::span<const IniKeyValue> entries, std::uint64_t* header_offset) {
    std::filesystem::path target = usable_file(file);
    if (target.empty())
        return false;
    IniFileLock lock(target);
    target = resolved_target(target);
    remove_stale_temporaries(target);
    int fd = ::open(target.c_str(), O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC, kPrivateFile);
    if (fd < 0)
        return false;
    struct stat status {};
    std::string_view eol;
    std::string_view closing;
    std::string text;
    bool ok = ::fstat(fd, &status) == 0 && S_ISREG(status.st_mode) && append_layout(fd, status.st_size, eol, closing);
    if (ok && (status.st_mode & 077) != 0)
        (void)::fchmod(fd, owner_bits(status.st_mode));
    if (ok) {
        text.append(closing);
        ok = format_section(section, entries, eol, text);
    }
    // One write puts the whole section in place; one fsync makes it last.
    if (ok && !write_all_bytes(fd, text)) {
        ok = false;
        // A section cut short reads as no record at all; taking it back leaves the file as it was.
        (void)::ftruncate(fd, status.st_size);
    }
    ok = ok && ::fsync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    if (ok && header_offset != nullptr)
        *header_offset = static_cast<std::uint64_t>(status.st_size) + closing.size();
    return ok;
}

} // namespace velpic
