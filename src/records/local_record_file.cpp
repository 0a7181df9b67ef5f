#include "records/local_record_file.h"

#include "records/record_index.h"
#include "records/record_section_scan.h"
#include "runtime/codepage.h"
#include "runtime/files.h"
#include "runtime/gbk_text.h"
#include "runtime/ini_file.h"
#include "runtime/ini_lines.h"
#include "runtime/program_dir.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <functional>
#include <memory>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

namespace velpic {

using namespace ini_detail;
using record_scan::DigestState;

namespace {

constexpr std::string_view kUrlKey = "ImgUrl";

class Descriptor {
public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

// The bytes of an open file from its start, up to size (a file that grows meanwhile is read as it was).
record_scan::ByteSource file_source(int fd, std::uint64_t size) {
    return [fd, offset = std::uint64_t{0}, size](char* out, std::size_t room) mutable -> std::optional<std::size_t> {
        const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(room, size - offset));
        std::size_t got = 0;
        if (want > 0 && !read_file_at(fd, out, want, static_cast<std::int64_t>(offset), got))
            return std::nullopt;
        offset += got;
        return got;
    };
}

// What identifies one state of a file: appending changes the size, a replacement changes the inode, and any other
// write changes the times. (A same-size rewrite in place within one tick of the clock would go unseen; the
// program's own writers never write in place.)
struct FileIdentity {
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    timespec modified{};
    timespec changed{};

    static FileIdentity of(const struct stat& status) {
        return FileIdentity{status.st_dev, status.st_ino, status.st_size, status.st_mtim, status.st_ctim};
    }
    bool operator==(const FileIdentity& other) const {
        return device == other.device && inode == other.inode && size == other.size &&
               modified.tv_sec == other.modified.tv_sec && modified.tv_nsec == other.modified.tv_nsec &&
               changed.tv_sec == other.changed.tv_sec && changed.tv_nsec == other.changed.tv_nsec;
    }
};

// What this process knows of the record file it read last, kept while the file stays as it was read or as this
// process appended to it. The first reading of a file only remembers the answer it found, for the locked lookup
// that follows (the command line reads the file once); reading the same file again (the window, upload after
// upload) builds an index, so that later lookups read one section and filling a store stays linear.
struct FileKnowledge {
    FileIdentity identity;
    std::unique_ptr<RecordIndex> index;
    std::optional<std::pair<std::string, DigestState>> answer; // the one answer of a pass without an index
};
std::mutex cache_mutex;
std::unique_ptr<FileKnowledge> known; // guarded by cache_mutex

// The section that starts at offset, read in growing pieces until its end (the next header) is among whole lines.
std::optional<std::string> read_section(int fd, std::uint64_t offset, std::uint64_t file_size) {
    if (offset >= file_size)
        return std::nullopt;
    for (std::size_t want = 1024;; want *= 2) {
        const std::size_t size = static_cast<std::size_t>(std::min<std::uint64_t>(want, file_size - offset));
        std::string text(size, '\0');
        std::size_t got = 0;
        if (!read_file_at(fd, text.data(), size, static_cast<std::int64_t>(offset), got))
            return std::nullopt;
        text.resize(got);
        const bool to_the_end = offset + got >= file_size;
        std::string_view whole_lines = text;
        if (!to_the_end) {
            const std::size_t last_break = whole_lines.find_last_of("\r\n");
            whole_lines =
                last_break == std::string_view::npos ? std::string_view() : whole_lines.substr(0, last_break + 1);
        }
        if (!whole_lines.empty()) {
            const std::size_t end = record_scan::section_end(whole_lines, 0);
            if (end < whole_lines.size() || to_the_end) {
                text.resize(end);
                return text;
            }
        }
        if (to_the_end || got < size)
            return std::nullopt;
    }
}

// The digest's state from the index, each candidate checked against the section bytes that section_at gives for
// an offset; nullopt when a candidate proves to be another name (the caller then scans the whole file).
template <class SectionAt>
std::optional<DigestState> indexed_state(const RecordIndex& index, std::string_view digest, SectionAt&& section_at) {
    DigestState state;
    const std::string_view wanted = normalize_name(digest);
    if (auto offset = index.first_section(wanted)) {
        const std::optional<std::string_view> text = section_at(*offset);
        HeaderLine header;
        if (!text || !next_header(*text, 0, header) || header.begin != 0 || !names_equal(trim(header.raw_name), wanted))
            return std::nullopt;
        state.first = *offset;
        state.values = record_scan::section_record(*text, 0);
        state.listed = header.at_first_byte && record_scan::is_listed_name(header.raw_name, digest);
    }
    if (!state.listed) {
        if (auto offset = index.listed(digest)) {
            const std::optional<std::string_view> text = section_at(*offset);
            HeaderLine header;
            if (!text || !next_header(*text, 0, header) || header.begin != 0 || !header.at_first_byte ||
                !record_scan::is_listed_name(header.raw_name, digest))
                return std::nullopt;
            state.listed = true;
        }
    }
    return state;
}

// What the INI reader knows about digest in file; a missing or unreadable file knows nothing, nor does a FIFO or
// device in its place (opened without blocking, then refused).
DigestState digest_state(const std::filesystem::path& file, std::string_view digest) {
    const Descriptor fd(::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    struct stat status {};
    if (fd.get() < 0 || ::fstat(fd.get(), &status) != 0 || !S_ISREG(status.st_mode))
        return {};
    const FileIdentity identity = FileIdentity::of(status);
    const auto file_size = static_cast<std::uint64_t>(status.st_size);
    std::string section;
    auto section_at = [&](std::uint64_t offset) -> std::optional<std::string_view> {
        auto text = read_section(fd.get(), offset, file_size);
        if (!text)
            return std::nullopt;
        section = std::move(*text);
        return std::string_view(section);
    };
    bool build_index = false;
    {
        std::lock_guard guard(cache_mutex);
        if (known && known->identity == identity) {
            if (known->index) {
                if (auto state = indexed_state(*known->index, digest, section_at))
                    return *state;
            } else if (known->answer && known->answer->first == digest) {
                return known->answer->second;
            }
        }
        // Reading the same file again: this process does more than one upload.
        build_index = known && known->identity.device == identity.device && known->identity.inode == identity.inode;
    }

    auto fresh = std::make_unique<FileKnowledge>();
    fresh->identity = identity;
    std::optional<DigestState> state;
    if (build_index) {
        fresh->index = std::make_unique<RecordIndex>();
        fresh->index->reserve_for(static_cast<std::size_t>(file_size), RecordIndex::Names::SectionsAndListed);
        const bool read = record_scan::for_each_section(file_source(fd.get(), file_size), [&](const auto& found) {
            fresh->index->queue_header(found.header.raw_name, found.header.at_first_byte, found.offset);
        });
        if (!read)
            return {};
        fresh->index->finish();
        state = indexed_state(*fresh->index, digest, section_at);
    }
    if (!state) // the first reading, or two names with one hash
        state = record_scan::scan_digest(file_source(fd.get(), file_size), digest);
    if (!state)
        return {};
    if (!fresh->index)
        fresh->answer.emplace(std::string(digest), *state);
    std::lock_guard guard(cache_mutex);
    known = std::move(fresh);
    return *state;
}

bool found_complete(const DigestState& state, std::string_view digest) {
    return state.listed && state.first && is_complete_local_record(state.values, digest);
}

struct RecordEntries {
    explicit RecordEntries(const UploadRecord& record)
        : entries{{"ImgMd5", record.ImgMd5},
                  {"ImgType", record.ImgType},
                  {"ImgUploadTime", record.ImgUploadTime},
                  {kUrlKey, record.ImgUrl}} {}
    IniKeyValue entries[4];
};

// The common case: the record goes at the end as one section. Keeps the index of this process up to date, as it
// knows exactly what it added.
bool append_record(const std::filesystem::path& file, const UploadRecord& record) {
    struct stat before {};
    const bool existed = ::stat(file.c_str(), &before) == 0;
    std::uint64_t header_offset = 0;
    const RecordEntries record_entries(record);
    if (!append_ini_section(file, record.ImgMd5, record_entries.entries, &header_offset))
        return false;
    struct stat after {};
    std::lock_guard guard(cache_mutex);
    if (existed && known && known->identity == FileIdentity::of(before) && ::stat(file.c_str(), &after) == 0 &&
        after.st_dev == before.st_dev && after.st_ino == before.st_ino) {
        if (known->index)
            known->index->add_header(normalize_name(record.ImgMd5), true, header_offset);
        known->answer.reset();
        known->identity = FileIdentity::of(after);
    }
    return true;
}

// The rare case: a section of this digest without a complete record (a write cut short in an older version, or a
// hand edit) would be the one the INI reader takes, so the file is rewritten in one step without every incomplete
// section of the digest and with the new record at its end. Complete records and all other sections stay.
bool replace_incomplete_record(const std::filesystem::path& file, const UploadRecord& record) {
    const std::string_view wanted = normalize_name(record.ImgMd5);
    return rewrite_ini_file(file, [&](std::string& bytes) {
        std::string kept;
        kept.reserve(bytes.size() + 256);
        std::size_t copied = 0;
        HeaderLine header;
        for (std::size_t pos = content_start(bytes); next_header(bytes, pos, header); pos = header.next) {
            if (!names_equal(trim(header.raw_name), wanted))
                continue;
            if (is_complete_local_record(record_scan::section_record(bytes, header.begin), wanted))
                continue;
            kept.append(bytes, copied, header.begin - copied);
            copied = record_scan::section_end(bytes, header.begin);
        }
        kept.append(bytes, copied);
        const RecordEntries record_entries(record);
        if (!append_ini_text(kept, record.ImgMd5, record_entries.entries))
            return false;
        bytes = std::move(kept);
        return true;
    });
}

} // namespace

std::filesystem::path local_record_file_path(const std::filesystem::path& directory) {
    return directory / "本地记录.ini";
}

std::filesystem::path local_record_file_path() {
    return local_record_file_path(program_dir());
}

std::string local_record_file_problem(const std::filesystem::path& file) {
    if (!is_non_regular_file(file))
        return {};
    return utf8_to_gbk("记录文件不是普通文件（如管道或设备），无法读写：" + file.string());
}

bool is_complete_local_record(const UploadRecord& record, std::string_view section_name) {
    if (record.ImgMd5.empty() || record.ImgType.empty() || record.ImgUploadTime.empty() || record.ImgUrl.empty() ||
        !names_equal(record.ImgMd5, normalize_name(section_name)))
        return false;
    return record_names_its_file(record);
}

std::vector<std::string> list_ini_sections_in(std::string_view bytes) {
    std::string joined;
    HeaderLine header;
    for (std::size_t pos = content_start(bytes); next_header(bytes, pos, header); pos = header.next) {
        if (!header.at_first_byte)
            continue;
        if (!joined.empty())
            joined.push_back('|');
        joined.append(header.raw_name);
    }
    // Split never cuts a double-byte character whose trail byte is "|".
    return text_split(joined, "|");
}

void list_ini_sections(const std::filesystem::path& path, std::vector<std::string>& names) {
    if (!file_exists(path))
        return;
    names = list_ini_sections_in(read_whole_file(path));
}

std::optional<std::string> find_local_record(const std::filesystem::path& file, std::string_view digest) {
    DigestState state = digest_state(file, digest);
    if (!found_complete(state, digest))
        return std::nullopt;
    return std::move(state.values.ImgUrl);
}

std::optional<std::string> add_local_record_if_absent(const std::filesystem::path& file, const UploadRecord& record,
                                                      bool* written) {
    IniFileLock lock(file);
    DigestState state = digest_state(file, record.ImgMd5);
    if (found_complete(state, record.ImgMd5)) {
        if (written)
            *written = false;
        return std::move(state.values.ImgUrl);
    }
    const bool incomplete_first = state.first && !is_complete_local_record(state.values, record.ImgMd5);
    const bool ok = incomplete_first ? replace_incomplete_record(file, record) : append_record(file, record);
    if (written)
        *written = ok;
    return std::nullopt;
}

bool write_local_record(const std::filesystem::path& file, const UploadRecord& record) {
    bool written = false;
    return add_local_record_if_absent(file, record, &written).has_value() || written;
}

namespace {

// The listing over any copy of the file: source reads it from the start, section_at reads one section.
template <class SectionAt>
std::vector<UploadRecord> collect_records(const std::function<record_scan::ByteSource()>& source, std::uint64_t size,
                                          SectionAt&& section_at) {
    RecordIndex sections;
    sections.reserve_for(static_cast<std::size_t>(size), RecordIndex::Names::Sections);
    std::vector<UploadRecord> records;
    // Names whose first section is another one, resolved once every section is known.
    std::vector<std::pair<std::size_t, std::string>> elsewhere;
    const bool read = record_scan::for_each_section(source(), [&](const record_scan::SectionText& section) {
        const std::string_view name = trim(section.header.raw_name);
        const std::uint64_t key = name.empty() ? 0 : RecordIndex::section_key(name);
        if (key != 0)
            sections.prefetch(key); // fetched while the keys are read
        std::optional<UploadRecord> own;
        if (section.header.at_first_byte)
            own = record_scan::section_record(section.text, 0);
        const bool first_of_name = key == 0 || sections.add_section_key(key, section.offset) == section.offset;
        if (!section.header.at_first_byte)
            return;
        record_scan::for_each_listed_name(section.header.raw_name, [&](std::string_view listed) {
            const std::string_view wanted = normalize_name(listed);
            if (wanted.empty())
                return;
            if (first_of_name && wanted == name) { // the usual case: this very section
                if (is_complete_local_record(*own, name))
                    records.push_back(std::move(*own));
            } else {
                elsewhere.emplace_back(records.size(), wanted);
                records.emplace_back();
            }
        });
    });
    if (!read)
        return {};
    if (elsewhere.empty())
        return records;
    for (const auto& [index, wanted] : elsewhere) {
        std::optional<UploadRecord> values;
        if (auto offset = sections.first_section(wanted)) {
            const std::optional<std::string> text = section_at(*offset);
            HeaderLine found;
            if (text && next_header(*text, 0, found) && found.begin == 0 && names_equal(trim(found.raw_name), wanted))
                values = record_scan::section_record(*text, 0);
            else // two names with one hash: only a pass over the file tells
                values = record_scan::first_section_values(source(), wanted);
        }
        if (values && is_complete_local_record(*values, wanted))
            records[index] = std::move(*values);
    }
    std::erase_if(records, [](const UploadRecord& record) { return record.ImgUrl.empty(); });
    return records;
}

} // namespace

std::vector<UploadRecord> local_records_in(std::string_view bytes) {
    return collect_records([bytes] { return record_scan::bytes_source(bytes); }, bytes.size(),
                           [bytes](std::uint64_t offset) -> std::optional<std::string> {
                               if (offset >= bytes.size())
                                   return std::nullopt;
                               return std::string(
                                   bytes.substr(offset, record_scan::section_end(bytes, offset) - offset));
                           });
}

std::vector<UploadRecord> read_all_local_records(const std::filesystem::path& file) {
    const Descriptor fd(::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    struct stat status {};
    if (fd.get() < 0 || ::fstat(fd.get(), &status) != 0 || !S_ISREG(status.st_mode))
        return {};
    const auto size = static_cast<std::uint64_t>(status.st_size);
    return collect_records([&] { return file_source(fd.get(), size); }, size,
                           [&](std::uint64_t offset) { return read_section(fd.get(), offset, size); });
}

bool remove_local_record(const std::filesystem::path& file, std::string_view digest, bool* removed) {
    if (removed)
        *removed = false;
    IniFileLock lock(file);
    if (!file_exists(file))
        return true;
    const std::string_view wanted = normalize_name(digest);
    bool found = false;
    bool ok = rewrite_ini_file(file, [&](std::string& bytes) {
        std::string kept;
        kept.reserve(bytes.size());
        std::size_t copied = 0;
        HeaderLine header;
        for (std::size_t pos = content_start(bytes); next_header(bytes, pos, header); pos = header.next) {
            if (!names_equal(trim(header.raw_name), wanted))
                continue;
            kept.append(bytes, copied, header.begin - copied);
            copied = record_scan::section_end(bytes, header.begin);
            found = true;
        }
        if (!found)
            return false; // nothing to take out: the file is not rewritten
        kept.append(bytes, copied);
        bytes = std::move(kept);
        return true;
    });
    if (!found)
        return true;
    if (removed)
        *removed = ok;
    return ok;
}

bool replace_local_record_address(const std::filesystem::path& file, std::string_view digest,
                                  const std::string& expected_address, const std::string& new_address) {
    IniFileLock lock(file);
    const DigestState state = digest_state(file, digest);
    if (!found_complete(state, digest) || state.values.ImgUrl != expected_address)
        return false;
    UploadRecord changed = state.values;
    changed.ImgUrl = new_address;
    // The record must stay whole: an address that does not name the digest's file would read as no record.
    if (!is_complete_local_record(changed, digest) || writable_value(new_address) != new_address)
        return false;
    // The value the INI reader takes is the first line of the key in the first section of the name, which is the
    // line the profile writer changes.
    return write_ini_value(file, digest, kUrlKey, new_address);
}

bool remove_all_local_records(const std::filesystem::path& file) {
    IniFileLock lock(file);
    return !file_exists(file) || delete_file(file);
}

} // namespace velpic
