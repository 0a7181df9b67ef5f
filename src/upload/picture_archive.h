// The local archive "图片存档" in the program directory: a copy of the bytes of every picture sent, named by its
// digest and type and spread over sub-folders by the first two hex digits ("图片存档/ab/ab12…ef.png"). It is
// private to the user (0700), and a copy counts only when the MD5 of its bytes equals the digest in its name.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace velpic {

// program_dir / "图片存档".
std::filesystem::path archive_folder(const std::filesystem::path& program_dir);
// The copy's place: archive_folder / digest[0..2] / digest + extension. extension keeps its letter case.
std::filesystem::path archive_copy_path(const std::filesystem::path& program_dir, std::string_view digest,
                                        std::string_view extension);

// Whether text is 32 lower-case hexadecimal digits, the only digest a copy may be named by.
bool is_digest_text(std::string_view text);

// How a copy already in place is judged before it is kept instead of written again.
enum class ExistingCopy {
    by_size, // its name carries the digest and its size is the picture's: trusted without reading it
    read,    // read and digested (a deep check): a copy damaged in place is replaced
};

// Puts a copy of bytes (whose MD5 is digest) in place: a temporary file beside it, fsync, rename, fsync of the
// folder, so that a copy is either whole or absent after a crash. A copy already there that passes existing is left
// as it is; any other is replaced. The folders are made 0700 (and tightened to 0700 when they are not). The reason
// (GBK) when the copy could not be written, empty on success.
std::string keep_archive_copy(const std::filesystem::path& program_dir, std::string_view digest,
                              std::string_view extension, std::string_view bytes,
                              ExistingCopy existing = ExistingCopy::by_size);

struct ArchivedPicture {
    enum class State {
        missing,  // no copy of the digest
        verified, // its MD5 equals the digest: bytes holds it
        damaged,  // a copy whose bytes have another MD5 (or cannot be read): never to be sent
    };
    State state = State::missing;
    std::filesystem::path path;
    std::string extension; // with its "."; as the copy's name has it
    std::string bytes;     // when verified
};

// The copy of digest, of whatever type, read and checked. A copy larger than max_bytes counts as damaged.
ArchivedPicture find_archive_copy(const std::filesystem::path& program_dir, std::string_view digest,
                                  std::uintmax_t max_bytes = 100u * 1024 * 1024);

// Whether a verified copy of digest is there; reads and hashes it.
bool has_verified_copy(const std::filesystem::path& program_dir, std::string_view digest);

// Removes every copy of digest (any type) and the temporary files of killed writers beside them. True when
// nothing of digest is left; removed tells whether something was there.
bool remove_archive_copy(const std::filesystem::path& program_dir, std::string_view digest, bool* removed = nullptr);

// "本地存档中的图片 <digest> 已损坏（内容与摘要不符）" (GBK).
std::string damaged_copy_message(std::string_view digest);

} // namespace velpic
