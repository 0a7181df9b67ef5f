#include "notes/settled_notes.h"

#include "runtime/files.h"
#include "runtime/hex_text.h"
#include "runtime/percent_encoding.h"
#include "runtime/program_build.h"

#include <cstring>

#include <fcntl.h>
#include <openssl/evp.h>
#include <unistd.h>

namespace velpic {

namespace {

constexpr std::string_view kHeading = "velpic settled notes 1 ";
constexpr std::uint64_t kMaxFileBytes = 64 * 1024 * 1024;
constexpr std::size_t kMaxReason = 80;

// Fed with its length first, so that no two (build, context) pairs feed the same bytes.
void feed(EVP_MD_CTX* digest, std::string_view part) {
    const std::string length = std::to_string(part.size()) + ":";
    EVP_DigestUpdate(digest, length.data(), length.size());
    EVP_DigestUpdate(digest, part.data(), part.size());
}

bool readable_reason(std::string_view reason) {
    if (reason.empty() || reason.size() > kMaxReason)
        return false;
    for (const char c : reason)
        if (c < 0x20 || c > 0x7E)
            return false;
    return true;
}

// "<32 hex digits>" then "\t<count> <why>" per thing left alone; false for anything else.
bool parse_entry(std::string_view line, SettledNotes::Key& key, SettledNotes::LeftAlone& left) {
    if (line.size() < 32)
        return false;
    for (std::size_t i = 0; i < 16; ++i) {
        const int high = hex_digit_value(line[2 * i]);
        const int low = hex_digit_value(line[2 * i + 1]);
        if (high < 0 || low < 0)
            return false;
        key[i] = static_cast<unsigned char>(high * 16 + low);
    }
    line.remove_prefix(32);
    while (!line.empty()) {
        if (line.front() != '\t')
            return false;
        line.remove_prefix(1);
        const std::size_t end = line.find('\t');
        const std::string_view group = line.substr(0, end);
        line.remove_prefix(end == std::string_view::npos ? line.size() : end);
        const std::size_t space = group.find(' ');
        if (space == 0 || space == std::string_view::npos || space > 9)
            return false;
        std::size_t count = 0;
        for (const char c : group.substr(0, space)) {
            if (c < '0' || c > '9')
                return false;
            count = count * 10 + static_cast<std::size_t>(c - '0');
        }
        const std::string_view reason = group.substr(space + 1);
        if (count == 0 || !readable_reason(reason))
            return false;
        left[std::string(reason)] += count;
    }
    return true;
}

std::string entry_line(const SettledNotes::Key& key, const SettledNotes::LeftAlone& left) {
    std::string line = lower_hex(std::string_view(reinterpret_cast<const char*>(key.data()), key.size()));
    for (const auto& [why, count] : left)
        line += '\t' + std::to_string(count) + ' ' + why;
    return line + '\n';
}

} // namespace

std::filesystem::path settled_notes_path(const std::filesystem::path& program_dir) {
    return program_dir / std::filesystem::path(u8"已核对笔记.txt");
}

std::size_t SettledNotes::KeyHash::operator()(const Key& key) const {
    std::size_t hash;
    std::memcpy(&hash, key.data(), sizeof hash); // the key is a digest already
    return hash;
}

SettledNotes::SettledNotes(std::filesystem::path file, std::string_view context) : file_(std::move(file)) {
    const std::string& build = program_build_id();
    if (build.empty())
        return;
    EVP_MD_CTX* digest = EVP_MD_CTX_new();
    if (digest == nullptr || EVP_DigestInit_ex(digest, EVP_sha256(), nullptr) != 1) {
        EVP_MD_CTX_free(digest);
        return;
    }
    feed(digest, build);
    feed(digest, context);
    prefix_ = digest;
    load();
}

SettledNotes::~SettledNotes() {
    EVP_MD_CTX_free(prefix_);
}

void SettledNotes::load() {
    const FileRead read = read_regular_file(file_, kMaxFileBytes);
    if (read.status != FileReadStatus::ok)
        return;
    std::string_view bytes = read.bytes;
    const std::string heading = std::string(kHeading) + lower_hex(program_build_id()) + "\n";
    // Another build may read notes otherwise: what it found is not known here.
    if (!bytes.starts_with(heading))
        return;
    bytes.remove_prefix(heading.size());
    while (!bytes.empty() && known_order_.size() < kMaxEntries) {
        const std::size_t end = bytes.find('\n');
        const std::string_view line = bytes.substr(0, end);
        bytes.remove_prefix(end == std::string_view::npos ? bytes.size() : end + 1);
        Key key;
        LeftAlone left;
        if (parse_entry(line, key, left) && known_.emplace(key, std::move(left)).second)
            known_order_.push_back(key);
    }
}

SettledNotes::Key SettledNotes::key_of(std::string_view bytes) const {
    Key key{};
    if (prefix_ == nullptr)
        return key;
    unsigned char full[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    EVP_MD_CTX* digest = EVP_MD_CTX_new();
    if (digest != nullptr && EVP_MD_CTX_copy_ex(digest, prefix_) == 1 &&
        EVP_DigestUpdate(digest, bytes.data(), bytes.size()) == 1 && EVP_DigestFinal_ex(digest, full, &size) == 1 &&
        size >= key.size())
        std::memcpy(key.data(), full, key.size());
    EVP_MD_CTX_free(digest);
    return key;
}

const SettledNotes::LeftAlone* SettledNotes::find(const Key& key) const {
    if (prefix_ == nullptr || key == Key{})
        return nullptr;
    const auto found = known_.find(key);
    return found == known_.end() ? nullptr : &found->second;
}

void SettledNotes::keep(const Key& key, LeftAlone left) {
    if (prefix_ == nullptr || key == Key{})
        return;
    if (!known_.contains(key))
        learned_ = true;
    if (kept_.emplace(key, std::move(left)).second)
        kept_order_.push_back(key);
}

bool SettledNotes::save() {
    if (prefix_ == nullptr || !learned_)
        return true;
    std::string bytes = std::string(kHeading) + lower_hex(program_build_id()) + "\n";
    std::size_t entries = 0;
    for (const Key& key : kept_order_) {
        if (entries++ >= kMaxEntries)
            break;
        bytes += entry_line(key, kept_.at(key));
    }
    for (const Key& key : known_order_) {
        if (entries >= kMaxEntries)
            break;
        if (!kept_.contains(key)) {
            bytes += entry_line(key, known_.at(key));
            ++entries;
        }
    }
    // Which notes were read is the user's business alone, as the records are.
    const int fd = ::open(file_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0)
        ::close(fd);
    if (!replace_file_atomically(file_, bytes))
        return false;
    learned_ = false;
    return true;
}

} // namespace velpic
