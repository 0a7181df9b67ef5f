#include "records/local_record_file.h"

#include "runtime/files.h"
#include "runtime/gbk_text.h"
#include "runtime/ini_file.h"
#include "runtime/program_dir.h"

#include <algorithm>

namespace velpic {
namespace {

// Name of a section header line, or nullopt for any other line. Only a "[" in the first byte opens a header.
std::optional<std::string_view> header_name(std::string_view line) {
    if (line.empty() || line.front() != '[')
        return std::nullopt;
    for (std::size_t i = 1; i < line.size(); ++i) {
        auto byte = static_cast<unsigned char>(line[i]);
        if (byte == ']')
            return line.substr(1, i - 1);
        if (is_gbk_lead_byte(byte) && i + 1 < line.size())
            ++i;
    }
    return std::nullopt;
}

constexpr std::string_view kUrlKey = "ImgUrl";

} // namespace

std::filesystem::path local_record_file_path(const std::filesystem::path& directory) {
    return directory / "本地记录.ini";
}

std::filesystem::path local_record_file_path() {
    return local_record_file_path(program_dir());
}

std::vector<std::string> list_ini_sections_in(std::string_view bytes) {
    bytes = bytes.substr(0, bytes.find_first_of(std::string_view("\0\x1A", 2)));
    std::string joined;
    std::size_t pos = 0;
    while (pos < bytes.size()) {
        std::size_t lf = bytes.find('\n', pos);
        std::size_t end = lf == std::string_view::npos ? bytes.size() : lf;
        std::string_view line = bytes.substr(pos, end - pos);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        pos = lf == std::string_view::npos ? bytes.size() : lf + 1;
        if (auto name = header_name(line)) {
            if (!joined.empty())
                joined.push_back('|');
            joined.append(*name);
        }
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
    std::string bytes = read_whole_file(file);
    std::vector<std::string> names = list_ini_sections_in(bytes);
    if (std::find(names.begin(), names.end(), digest) == names.end())
        return std::nullopt;
    return IniDocument::parse(std::move(bytes)).value(digest, kUrlKey);
}

bool write_local_record(const std::filesystem::path& file, const UploadRecord& record) {
    IniFileLock lock(file);
    // Each value stands alone, as readers expect; later values are still tried when one fails.
    bool ok = write_ini_value(file, record.ImgMd5, "ImgMd5", record.ImgMd5);
    ok = write_ini_value(file, record.ImgMd5, "ImgType", record.ImgType) && ok;
    ok = write_ini_value(file, record.ImgMd5, "ImgUploadTime", record.ImgUploadTime) && ok;
    ok = write_ini_value(file, record.ImgMd5, kUrlKey, record.ImgUrl) && ok;
    return ok;
}

std::optional<std::string> add_local_record_if_absent(const std::filesystem::path& file, const UploadRecord& record,
                                                      bool* written) {
    IniFileLock lock(file);
    if (auto address = find_local_record(file, record.ImgMd5)) {
        if (written)
            *written = false;
        return address;
    }
    bool ok = write_local_record(file, record);
    if (written)
        *written = ok;
    return std::nullopt;
}

std::vector<UploadRecord> read_all_local_records(const std::filesystem::path& file) {
    std::string bytes = read_whole_file(file);
    std::vector<std::string> names = list_ini_sections_in(bytes);
    IniDocument document = IniDocument::parse(std::move(bytes));
    std::vector<UploadRecord> records;
    records.reserve(names.size());
    for (const std::string& name : names) {
        UploadRecord record;
        record.ImgMd5 = document.value(name, "ImgMd5");
        record.ImgType = document.value(name, "ImgType");
        record.ImgUploadTime = document.value(name, "ImgUploadTime");
        record.ImgUrl = document.value(name, kUrlKey);
        records.push_back(std::move(record));
    }
    return records;
}

bool remove_all_local_records(const std::filesystem::path& file) {
    IniFileLock lock(file);
    return !file_exists(file) || delete_file(file);
}

} // namespace velpic
