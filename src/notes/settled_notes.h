// Notes a publish found with nothing to do, remembered by a digest of their bytes: the next run that reads the same
// bytes (under the same build, options and repository) knows the outcome without parsing the note again. Git's
// index does this for files by their timestamps; a digest of the bytes cannot be fooled by a clock.
#pragma once

#include <array>
#include <cstddef>
#include <filesystem>
#include <map>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

struct evp_md_ctx_st;

namespace velpic {

class SettledNotes {
public:
    using Key = std::array<unsigned char, 16>;
    // What such a note left alone, by why ("remote pictures without --remote"), for the run's summary.
    using LeftAlone = std::map<std::string, std::size_t>;

    // Entries written by another build, or under another context (what the outcome depends on besides a note's
    // bytes: options, the repository's address), never match.
    SettledNotes(std::filesystem::path file, std::string_view context);
    ~SettledNotes();
    SettledNotes(const SettledNotes&) = delete;
    SettledNotes& operator=(const SettledNotes&) = delete;

    // False when the program carries no build ID or the digest cannot be made: nothing is remembered then.
    bool enabled() const { return prefix_ != nullptr; }
    // Whether the file held any entry for this build.
    bool empty() const { return known_.empty(); }
    // The key and the look-up are safe from any thread; find sees only what the file held when it was read.
    Key key_of(std::string_view bytes) const;
    const LeftAlone* find(const Key& key) const;
    // A note found settled in this run (again, or for the first time). Calling thread only.
    void keep(const Key& key, LeftAlone left);
    // Writes the memory when this run found notes it did not know, with those of this run first and the oldest
    // dropped beyond the bound. False when the file could not be written (only time is lost then).
    bool save();

    static constexpr std::size_t kMaxEntries = 500000;

private:
    struct KeyHash {
        std::size_t operator()(const Key& key) const;
    };
    std::filesystem::path file_;
    evp_md_ctx_st* prefix_ = nullptr; // the digest with the build and the context already fed in
    std::unordered_map<Key, LeftAlone, KeyHash> known_;
    std::vector<Key> known_order_; // as the file listed them, the most recent first
    std::unordered_map<Key, LeftAlone, KeyHash> kept_;
    std::vector<Key> kept_order_;
    bool learned_ = false;

    void load();
};

// Where the memory lives in the program directory.
std::filesystem::path settled_notes_path(const std::filesystem::path& program_dir);

} // namespace velpic
