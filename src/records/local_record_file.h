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

// Why the record file cannot be used (GBK), or empty: something that is not a regular file (a FIFO, a device, a
// directory) stands in its place, which would otherwise read as no records and refuse every write.
std::string local_record_file_problem(const std::filesystem::path& file);

// A record counts only when it is whole: ImgMd5, ImgType, ImgUploadTime and ImgUrl are all there, ImgMd5 is the
// digest its section is named by, and ImgUrl names the record's file (its last part is ImgMd5 followed by ImgType,
// letter case aside). An address cut short by a crash never does, so a record written part-way reads as no record:
// the picture is uploaded again.
bool is_complete_local_record(const UploadRecord& record, std::string_view section_name);

// Section names in file order, from the lines that start with "[" and hold a "]" (not a trail byte of a
// double-byte character); names are joined with "|" and split again, so a name holding "|" gives several names and
// an empty first or last name is dropped. Duplicates are listed twice. Lines end at LF, CR LF or a lone CR, a UTF-8
// byte-order mark at the start is skipped, and junk bytes (NUL, 0x1A, anything) only spoil their own line. When no
// file exists, names is left as given; a file that cannot be opened reads as empty.
void list_ini_sections(const std::filesystem::path& path, std::vector<std::string>& names);
// The same scan over bytes already read.
std::vector<std::string> list_ini_sections_in(std::string_view bytes);

// The recorded address of digest, or nullopt unless list_ini_sections lists exactly that name and the section the
// INI reader takes for it holds a complete record. The file is not parsed key by key: the header lines are
// scanned, and an index kept while the file stays as this process last saw it answers most lookups from one
// section read.
std::optional<std::string> find_local_record(const std::filesystem::path& file, std::string_view digest);

// Lookup and write as one step under the file lock: when record.ImgMd5 is recorded already, returns its recorded
// address and writes nothing; otherwise writes the record and returns nullopt (written tells whether it worked).
// The record goes at the end as one whole section (one write, one fsync). When an incomplete section of the digest
// is where the INI reader would look, the file is instead replaced in one step without the incomplete sections of
// the digest and with the new record at its end.
std::optional<std::string> add_local_record_if_absent(const std::filesystem::path& file, const UploadRecord& record,
                                                      bool* written = nullptr);
// add_local_record_if_absent for callers that only care whether the digest is recorded afterwards.
bool write_local_record(const std::filesystem::path& file, const UploadRecord& record);

// The complete records of the listed sections in order, each with ImgMd5, ImgType, ImgUploadTime and ImgUrl from
// the section the INI reader takes for its name. One pass over the bytes; a missing file gives no records.
std::vector<UploadRecord> read_all_local_records(const std::filesystem::path& file);
std::vector<UploadRecord> local_records_in(std::string_view bytes);

// Takes every section named digest (complete or not) out of the file, replacing it in one step under the file
// lock, so that a crash leaves the old file or the new one. True when no section of digest is left (also when there
// was none or no file); removed tells whether one was taken out.
bool remove_local_record(const std::filesystem::path& file, std::string_view digest, bool* removed = nullptr);

// Points the record of digest at new_address, when its recorded address is still expected_address: the file is
// replaced in one step under the file lock with that section's ImgUrl changed and every other byte kept, so that a
// crash leaves the old address or the new one. False, with nothing written, when there is no complete record of
// digest, it holds another address (replaced then tells nothing), or the file cannot be written.
bool replace_local_record_address(const std::filesystem::path& file, std::string_view digest,
                                  const std::string& expected_address, const std::string& new_address);

// Deletes the file (under the file lock). A missing file is success.
bool remove_all_local_records(const std::filesystem::path& file);

} // namespace velpic
