#include "runtime/ini_file.h"

#include "runtime/ini_lines.h"

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

namespace velpic {

using namespace ini_detail;

namespace {

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

} // namespace velpic
