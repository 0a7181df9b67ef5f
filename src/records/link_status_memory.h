// What earlier link checks found, kept in a file of its own beside the records ("链接状态.txt"), so that opening
// the records page or a scheduled check need not ask the service again about links it answered for recently.
//
// The file: a first line "velpic link statuses 1", then one line per link,
//   <checked at, seconds since 1970 UTC> TAB <valid|expired|abnormal> TAB <digest> TAB <address (GBK)>
// A file that does not read this way is ignored as a whole and replaced by the next save.
#pragma once

#include "records/link_check.h"
#include "records/record_list.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace velpic {

// The age limit the settings start with, in hours.
inline constexpr int kDefaultCheckMaxAgeHours = 24;
// The largest age limit accepted (a year).
inline constexpr int kMaxCheckMaxAgeHours = 8760;

struct RememberedLink {
    LinkStatus status = LinkStatus::pending;
    std::int64_t checked_at = 0; // seconds since 1970 UTC
};

// "链接状态.txt" in directory.
std::filesystem::path link_status_file_path(const std::filesystem::path& directory);

// Seconds since 1970 UTC now.
std::int64_t unix_now();

class LinkStatusMemory {
public:
    // An empty memory when the file is missing, unreadable, too large or damaged (see damaged()).
    static LinkStatusMemory load(const std::filesystem::path& file);

    // Hands each link the file remembers to fn without keeping them: for a caller that has an index of its own and
    // a file too large to hold twice. Nothing is handed out from a damaged file; false for one.
    using Visitor = std::function<void(std::string_view digest, std::string_view address, const RememberedLink&)>;
    static bool visit(const std::filesystem::path& file, const Visitor& fn);

    // The file existed but did not read as a status file.
    bool damaged() const { return damaged_; }
    std::size_t size() const { return links_.size(); }

    const RememberedLink* find(std::string_view digest, std::string_view address) const;
    // Keeps what a check found. A failed check tells nothing about the link and is not kept (an earlier result
    // stays); neither are pending and checking, nor an address that cannot stand on one line.
    void remember(std::string_view digest, std::string_view address, LinkStatus status, std::int64_t checked_at);

    // Replaces the file in one step with this memory merged into what the file holds now (the later check of a
    // link wins), so that two processes saving lose nothing of each other. False when it cannot be written.
    bool save(const std::filesystem::path& file) const;
    // Drops every line of digest from the file (a deleted picture has no link to remember), under the same lock as
    // save. True when the file holds none afterwards; a missing or damaged file is left as it is.
    static bool forget(const std::filesystem::path& file, std::string_view digest);

private:
    static std::string key(std::string_view digest, std::string_view address);
    static bool parse_lines(std::string_view bytes, const Visitor& fn);
    static std::optional<std::string> read_file(const std::filesystem::path& file, bool& damaged);
    bool parse(std::string_view bytes);
    void merge(const std::string& key, RememberedLink link);

    std::unordered_map<std::string, RememberedLink> links_; // by digest TAB address
    bool damaged_ = false;
};

// Whether a remembered status is recent enough to stand without a new check: checked no more than max_age_hours
// before now (and not in the future, which only a clock set back can produce). max_age_hours 0: never.
bool is_fresh(const RememberedLink* link, std::int64_t now, int max_age_hours);

// The indexes of targets whose remembered status is not fresh (see is_fresh), in order: those to check now.
std::vector<std::size_t> links_to_check(const std::vector<LinkTarget>& targets, const LinkStatusMemory& memory,
                                        std::int64_t now, int max_age_hours);

// How long ago a link was checked, for a row's tooltip (GBK): "刚刚检测", "5分钟前检测", "3小时前检测", "2天前检测".
std::string checked_ago_text(std::int64_t checked_at, std::int64_t now);

} // namespace velpic
