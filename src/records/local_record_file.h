// The local record file "本地记录.ini" in the program directory: one INI section per uploaded picture, named by its
// digest, with the keys "ImgMd5", "ImgType", "ImgUploadTime" and "ImgUrl" (GBK values).
#pragma once

#include "records/upload_record.h"

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velpic {

// The record file "本地记录.ini" in a program directory (by default program_dir()).
std::filesystem::path local_record_file_path(const std::filesystem::path& directory);
std::filesystem::path local_record_file_path();

// Section names in file order, from the lines that start with "[" and hold a "]" (not a trail byte of a
// double-byte character); names are joined with "|" and split again, so a name holding "|" gives several names and
// an empty first or last name is dropped. Duplicates are listed twice. When no file exists, names is left as given;
// a file that cannot be opened reads as empty.
void list_ini_sections(const std::filesystem::path& path, std::vector<std::string>& names);
// The same scan over bytes already read (a zero byte or 0x1A ends them).
std::vector<std::string> list_ini_sections_in(std::string_view bytes);

// The recorded address of digest ("ImgUrl", empty when the key is missing), or nullopt when no section has
// exactly that name.
std::optional<std::string> find_local_record(const std::filesystem::path& file, std::string_view digest);

// Writes "ImgMd5", "ImgType", "ImgUploadTime" and "ImgUrl" into section ImgMd5, in that order, under the file lock.
// False when a write failed.
bool write_local_record(const std::filesystem::path& file, const UploadRecord& record);

// Lookup and write as one step under the file lock: when record.ImgMd5 is recorded already, returns its recorded
// address and writes nothing; otherwise writes the record and returns nullopt (written tells whether it worked).
std::optional<std::string> add_local_record_if_absent(const std::filesystem::path& file, const UploadRecord& record,
                                                      bool* written = nullptr);

// Every listed section in order, with ImgMd5, ImgType and ImgUrl read from it (ImgUploadTime also, for
// completeness). Reads and parses the file once. A missing file gives no records.
std::vector<UploadRecord> read_all_local_records(const std::filesystem::path& file);

// Deletes the file (under the file lock). A missing file is success.
bool remove_all_local_records(const std::filesystem::path& file);

} // namespace velpic
