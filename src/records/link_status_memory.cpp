#include "records/link_status_memory.h"

#include "runtime/codepage.h"
#include "runtime/files.h"
#include "runtime/ini_file.h"

#include <algorithm>
#include <chrono>
#include <limits>
#include <optional>
#include <vector>

namespace velpic {

namespace {

constexpr std::string_view kHeader = "velpic link statuses 1";
// A user with years of pictures has a few hundred thousand links; a line takes about 150 bytes.
constexpr std::uint64_t kLargestFile = 256u << 20;

std::optional<LinkStatus> status_from_word(std::string_view word) {
    if (word == "valid")
        return LinkStatus::valid;
    if (word == "expired")
        return LinkStatus::expired;
    if (word == "abnormal")
        return LinkStatus::abnormal;
    return std::nullopt;
}

const char* word_of(LinkStatus status) {
    switch (status) {
    case LinkStatus::valid:
        return "valid";
    case LinkStatus::expired:
        return "expired";
    case LinkStatus::abnormal:
        return "abnormal";
    default:
        return nullptr;
    }
}

std::optional<std::int64_t> seconds_from_text(std::string_view text) {
    // Every time remember() takes is written in full, up to the 19 digits of the largest.
    if (text.empty() || text.size() > 19)
        return std::nullopt;
    std::int64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9' || value > (std::numeric_limits<std::int64_t>::max() - (c - '0')) / 10)
            return std::nullopt;
        value = value * 10 + (c - '0');
    }
    return value;
}

bool fits_one_field(std::string_view text) {
    return text.find_first_of(std::string_view("\t\r\n\0", 4)) == std::string_view::npos;
}

} // namespace

std::filesystem::path link_status_file_path(const std::filesystem::path& directory) {
    return directory / std::filesystem::path(u8"链接状态.txt");
}

std::int64_t unix_now() {
    return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::string LinkStatusMemory::key(std::string_view digest, std::string_view address) {
    std::string key;
    key.reserve(digest.size() + 1 + address.size());
    key.append(digest).push_back('\t');
    key.append(address);
    return key;
}

void LinkStatusMemory::merge(const std::string& key, RememberedLink link) {
    auto [it, inserted] = links_.try_emplace(key, link);
    if (!inserted && it->second.checked_at <= link.checked_at)
        it->second = link;
}

bool LinkStatusMemory::parse(std::string_view bytes) {
    return parse_lines(bytes, [this](std::string_view digest, std::string_view address, const RememberedLink& link) {
        merge(key(digest, address), link);
    });
}

bool LinkStatusMemory::parse_lines(std::string_view bytes, const Visitor& fn) {
    if (!bytes.starts_with(kHeader))
        return false;
    bytes.remove_prefix(kHeader.size());
    if (!bytes.starts_with('\n'))
        return false;
    bytes.remove_prefix(1);
    while (!bytes.empty()) {
        const std::size_t end = bytes.find('\n');
        if (end == std::string_view::npos)
            return false; // a line without its end was cut off
        const std::string_view line = bytes.substr(0, end);
        bytes.remove_prefix(end + 1);
        std::string_view fields[4];
        std::string_view rest = line;
        for (int i = 0; i < 3; ++i) {
            const std::size_t tab = rest.find('\t');
            if (tab == std::string_view::npos)
                return false;
            fields[i] = rest.substr(0, tab);
            rest.remove_prefix(tab + 1);
        }
        fields[3] = rest;
        const std::optional<std::int64_t> when = seconds_from_text(fields[0]);
        const std::optional<LinkStatus> status = status_from_word(fields[1]);
        if (!when || !status || fields[2].empty() || fields[3].empty() || !fits_one_field(fields[3]))
            return false;
        if (fn)
            fn(fields[2], fields[3], {*status, *when});
    }
    return true;
}

std::optional<std::string> LinkStatusMemory::read_file(const std::filesystem::path& file, bool& damaged) {
    damaged = false;
    FileRead read = read_regular_file(file, kLargestFile);
    if (read.status == FileReadStatus::ok)
        return std::move(read.bytes);
    damaged = read.status != FileReadStatus::unreadable || file_exists(file);
    return std::nullopt;
}

bool LinkStatusMemory::visit(const std::filesystem::path& file, const Visitor& fn) {
    bool damaged = false;
    const std::optional<std::string> bytes = read_file(file, damaged);
    if (!bytes)
        return !damaged;
    // Checked whole first, so that a damaged file hands out nothing.
    return parse_lines(*bytes, {}) && parse_lines(*bytes, fn);
}

LinkStatusMemory LinkStatusMemory::load(const std::filesystem::path& file) {
    LinkStatusMemory memory;
    const std::optional<std::string> bytes = read_file(file, memory.damaged_);
    if (bytes && !memory.parse(*bytes)) {
        memory.links_.clear();
        memory.damaged_ = true;
    }
    return memory;
}

const RememberedLink* LinkStatusMemory::find(std::string_view digest, std::string_view address) const {
    const auto it = links_.find(key(digest, address));
    return it == links_.end() ? nullptr : &it->second;
}

void LinkStatusMemory::remember(std::string_view digest, std::string_view address, LinkStatus status,
                                std::int64_t checked_at) {
    if (word_of(status) == nullptr || digest.empty() || address.empty() || !fits_one_field(digest) ||
        !fits_one_field(address) || checked_at < 0)
        return;
    links_[key(digest, address)] = {status, checked_at};
}

bool LinkStatusMemory::save(const std::filesystem::path& file) const {
    // The lock and the one-step replacement of the settings files serve this file as well.
    return rewrite_ini_file(file, [this](std::string& bytes) {
        LinkStatusMemory merged;
        if (!merged.parse(bytes))
            merged.links_.clear(); // what a damaged file held is not worth keeping
        for (const auto& [key, link] : links_)
            merged.merge(key, link);
        std::vector<const std::pair<const std::string, RememberedLink>*> order;
        order.reserve(merged.links_.size());
        for (const auto& entry : merged.links_)
            order.push_back(&entry);
        // A stable order keeps the file the same for the same memory.
        std::sort(order.begin(), order.end(), [](const auto* a, const auto* b) { return a->first < b->first; });
        bytes.clear();
        bytes.reserve(kHeader.size() + 1 + order.size() * 160);
        bytes.append(kHeader).push_back('\n');
        for (const auto* entry : order) {
            bytes.append(std::to_string(entry->second.checked_at)).push_back('\t');
            bytes.append(word_of(entry->second.status)).push_back('\t');
            bytes.append(entry->first).push_back('\n');
        }
        return true;
    });
}

bool LinkStatusMemory::forget(const std::filesystem::path& file, std::string_view digest) {
    std::error_code error;
    if (digest.empty() || !std::filesystem::exists(file, error))
        return !error;
    return rewrite_ini_file(file, [digest](std::string& bytes) {
        if (!std::string_view(bytes).starts_with(kHeader))
            return false;
        // Line by line: the digest is the third field.
        std::string kept;
        kept.reserve(bytes.size());
        std::size_t start = 0;
        bool dropped = false;
        while (start < bytes.size()) {
            std::size_t end = bytes.find('\n', start);
            end = end == std::string::npos ? bytes.size() : end + 1;
            const std::string_view line(bytes.data() + start, end - start);
            const std::size_t first = line.find('\t');
            const std::size_t second = first == std::string_view::npos ? first : line.find('\t', first + 1);
            const bool of_digest = start > 0 && second != std::string_view::npos &&
                                   line.substr(second + 1).starts_with(digest) &&
                                   line.substr(second + 1 + digest.size()).starts_with('\t');
            if (of_digest)
                dropped = true;
            else
                kept.append(line);
            start = end;
        }
        if (!dropped)
            return true;
        bytes = std::move(kept);
        return true;
    });
}

bool is_fresh(const RememberedLink* link, std::int64_t now, int max_age_hours) {
    if (link == nullptr || max_age_hours <= 0 || link->checked_at > now + 60)
        return false;
    return now - link->checked_at <= static_cast<std::int64_t>(max_age_hours) * 3600;
}

std::vector<std::size_t> links_to_check(const std::vector<LinkTarget>& targets, const LinkStatusMemory& memory,
                                        std::int64_t now, int max_age_hours) {
    std::vector<std::size_t> indexes;
    for (std::size_t i = 0; i < targets.size(); ++i)
        if (!is_fresh(memory.find(targets[i].digest, targets[i].address), now, max_age_hours))
            indexes.push_back(i);
    return indexes;
}

std::string checked_ago_text(std::int64_t checked_at, std::int64_t now) {
    const std::int64_t age = now > checked_at ? now - checked_at : 0;
    if (age < 60)
        return utf8_to_gbk("刚刚检测");
    if (age < 3600)
        return utf8_to_gbk(std::to_string(age / 60) + "分钟前检测");
    if (age < 86400)
        return utf8_to_gbk(std::to_string(age / 3600) + "小时前检测");
    return utf8_to_gbk(std::to_string(age / 86400) + "天前检测");
}

} // namespace velpic
