// INI values read and written one at a time with the lookup rules of the Windows profile functions
// (GetPrivateProfileStringA / WritePrivateProfileStringA), plus a parsed reader for reading many values at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace velpic {

// Size of the read buffer the profile functions are called with: a longer value comes back cut to one byte less.
inline constexpr std::size_t kIniReadBufferSize = 10240;

// Lines end at LF, CR LF or a lone CR; a UTF-8 byte-order mark in front of the file is skipped, and any other byte
// (NUL and 0x1A included) is part of its line, so junk hides nothing before or after it.
// Sections and keys are matched without ASCII letter case and with blanks around names and values ignored; a value
// wrapped in matching quotes (' or ") loses them. Leading bytes <= 0x20 of file, section and key are ignored; an
// empty file, section or key name gives the empty text. A missing file, section or key reads as default_value, and
// so does a file that is not a regular file (a FIFO in its place is never waited for).
std::string read_ini_value(const std::filesystem::path& file, std::string_view section, std::string_view key,
                           std::string_view default_value = {});

// Sets one value, creating the file and the section when they are missing; every other byte of the file is kept.
// Returns false when the file cannot be written, when a name is empty, or when a name would break the line
// structure (CR or LF in section or key, "=" in a key). A value is cut at its first CR, LF or NUL.
bool write_ini_value(const std::filesystem::path& file, std::string_view section, std::string_view key,
                     std::string_view value);
// Removes the first line of key in section ("omitted value"). A missing file, section or key is success.
bool delete_ini_key(const std::filesystem::path& file, std::string_view section, std::string_view key);
// Removes every section of that name with all its lines ("omitted key"). A missing file or section is success.
bool delete_ini_section(const std::filesystem::path& file, std::string_view section);
// The profile function's full form: an omitted key deletes the section, an omitted value deletes the key.
bool write_ini_entry(const std::filesystem::path& file, std::string_view section, std::optional<std::string_view> key,
                     std::optional<std::string_view> value);

// One write_ini_entry of a batch.
struct IniEdit {
    std::string_view section;
    std::optional<std::string_view> key;
    std::optional<std::string_view> value;
};
// Applies the edits in order to one reading of the file and replaces the file once, so a crash leaves either none
// or all of them. The bytes are those the single writes would leave. Nothing is written when an edit is refused.
bool write_ini_values(const std::filesystem::path& file, std::span<const IniEdit> edits);
// Reads the file (empty when missing), lets edit change the bytes and replaces the file with them in one step, under
// the file lock. False, with nothing written, when the file cannot be read or written or edit returns false.
bool rewrite_ini_file(const std::filesystem::path& file, const std::function<bool(std::string& bytes)>& edit);

struct IniKeyValue {
    std::string_view key;
    std::string_view value;
};
// Adds one whole section at the end of the file with a single write and a single fsync under the file lock, much
// cheaper than a replacement for a large file. It starts on a line of its own: a last line without its line end
// (left by a crash) is closed first. Nothing is looked up: an existing section of that name is not touched.
// header_offset receives where the "[" line starts. False when the file cannot be written or a name is refused;
// a write that fails part-way is taken back.
bool append_ini_section(const std::filesystem::path& file, std::string_view section,
                        std::span<const IniKeyValue> entries, std::uint64_t* header_offset = nullptr);
// The same addition to bytes in memory; false (bytes unchanged) for a name append_ini_section refuses.
bool append_ini_text(std::string& bytes, std::string_view section, std::span<const IniKeyValue> entries);

// Every write but append_ini_section replaces the file through a temporary file beside it and a rename (temporary
// files left by killed writers are removed by the next write), under an exclusive lock
// (a mutex per path inside the process and flock on "<file>.lock" between processes). Holding an IniFileLock
// makes a lookup and the writes that depend on it one step: the writes of the holding thread take the lock
// again without blocking (the lock is re-entrant per thread). Readers never need the lock.
class IniFileLock {
public:
    explicit IniFileLock(const std::filesystem::path& file);
    ~IniFileLock();
    IniFileLock(const IniFileLock&) = delete;
    IniFileLock& operator=(const IniFileLock&) = delete;

private:
    struct Entry;
    Entry* entry_;
};

// The file read and parsed once, for reading many values or listing sections. Lookups follow read_ini_value.
class IniDocument {
public:
    IniDocument();
    ~IniDocument();
    IniDocument(IniDocument&&) noexcept;
    IniDocument& operator=(IniDocument&&) noexcept;

    // A missing or unreadable file gives an empty document.
    static IniDocument load(const std::filesystem::path& file);
    static IniDocument parse(std::string bytes);

    std::string value(std::string_view section, std::string_view key, std::string_view default_value = {}) const;
    bool has_section(std::string_view section) const;
    // Section names as the profile functions see them (trimmed), in file order, each name once.
    std::vector<std::string> section_names() const;
    // The first key line, in file order, whose value holds a NUL byte, as section and key names: value() and
    // read_ini_value end such a value at the NUL, so a hand-edited "Owner=al\0ice" would read as "al".
    std::optional<std::pair<std::string, std::string>> first_value_with_nul() const;
    // The file's bytes as read.
    const std::string& bytes() const;

private:
    struct Data;
    std::unique_ptr<Data> data_;
};

} // namespace velpic
