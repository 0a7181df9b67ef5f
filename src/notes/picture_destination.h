// What a picture reference of a note points at, as publish sees it: a file on this machine, a picture on the web,
// or something to leave alone (an anchor, a data: address, another scheme).
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace velpic {

struct PictureDestination {
    enum class Kind { other, local_file, web } kind = Kind::other;
    std::filesystem::path file; // local_file: the file found, or the best reading of the address when none exists
    bool exists = false;        // local_file: file names an existing file
    std::string kept_suffix;    // local_file: the "?query#fragment" the file was found without, to write back after
};

// target is the destination as a reader follows it (escapes resolved). A local one may be relative to the
// note's folder or absolute, a file: address ("file:///…", "file://localhost/…"), and percent-encoded or not: the
// address is tried as written, then percent-decoded, then without a "?query" or "#fragment" part, and the first
// reading that names a file wins (a file may really be called "a%20b.png"). Backslashes of Windows paths are
// read as slashes when the name as written names no file.
PictureDestination classify_destination(std::string_view target, const std::filesystem::path& note_folder);

// The kind classify_destination gives, told from the address alone: local_file for anything that may name a file
// (whether one exists or not is not asked), so that other and web are certain.
PictureDestination::Kind destination_kind_by_text(std::string_view target);

} // namespace velpic
