// The local record file over damaged or hand-edited contents: listed section names come from the input, a record
// that was written is found and listed, and writing one never hides a record found before.
#include "fuzz_support.h"
#include "records/local_record_file.h"
#include "runtime/md5.h"

#include <fstream>
#include <map>

using namespace velpic;
using velpic::fuzz::FuzzInput;

namespace {

const fuzz::ScratchDir scratch;

// Characters an address of the service may hold after its prefix.
std::string address_tail(std::string_view bytes) {
    std::string out;
    for (char c : bytes.substr(0, 64))
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '_' ||
            c == '-' || c == '~' || c == '/')
            out += c;
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > 4096)
        return 0;
    FuzzInput input(data, size);
    const std::string_view contents = input.field(0);
    const std::filesystem::path file = scratch.path() / "records.ini";
    std::ofstream(file, std::ios::binary | std::ios::trunc)
        .write(contents.data(), static_cast<std::streamsize>(contents.size()));

    // Nothing is listed that the file does not hold.
    const std::vector<std::string> names = list_ini_sections_in(contents);
    for (const std::string& name : names)
        FUZZ_CHECK(contents.find(name) != std::string_view::npos);
    std::vector<std::string> from_file{"left alone when the file is missing"};
    list_ini_sections(file, from_file);
    FUZZ_CHECK(from_file == names);

    UploadRecord record;
    record.ImgMd5 = md5_hex(input.field(1));
    record.ImgType = input.flag(0) ? ".gif" : ".png";
    record.ImgUploadTime = "1638003930123";
    // A complete record's address names its file: whatever else it holds comes before the file name.
    record.ImgUrl =
        "https://gitee.com/o/r" + address_tail(input.field(2)) + "/raw/master/" + record.ImgMd5 + record.ImgType;

    // Records the file holds now, other than the one about to be written (names differing only in letter case
    // are the same section to the writer).
    std::map<std::string, std::string> found_before;
    for (const std::string& name : names) {
        if (found_before.size() >= 16)
            break;
        if (fuzz::ascii_folded(name) == record.ImgMd5)
            continue;
        if (auto address = find_local_record(file, name))
            found_before.emplace(name, *address);
    }

    // A picture recorded whole already keeps its record; otherwise the new one is found from now on. A section
    // whose name differs from the digest only in letter case is not found by the lookup, but the profile rules
    // read the address from it once a section of the exact name exists: any whole record of the picture will do.
    bool folded_twin = false;
    for (const std::string& name : names)
        folded_twin = folded_twin || (name != record.ImgMd5 && fuzz::ascii_folded(name) == record.ImgMd5);
    std::string expected = find_local_record(file, record.ImgMd5).value_or(record.ImgUrl);
    if (!write_local_record(file, record))
        return 0;
    const std::optional<std::string> found = find_local_record(file, record.ImgMd5);
    FUZZ_CHECK(found.has_value());
    if (folded_twin) {
        expected = *found;
    } else {
        FUZZ_CHECK(found == expected);
        bool listed = false;
        for (const UploadRecord& read : read_all_local_records(file))
            listed = listed || (fuzz::ascii_folded(read.ImgMd5) == record.ImgMd5 && read.ImgUrl == expected);
        FUZZ_CHECK(listed);
    }
    for (const auto& [name, address] : found_before)
        FUZZ_CHECK(find_local_record(file, name) == address);

    // A second upload of the same picture gets the recorded address and writes nothing.
    UploadRecord again = record;
    again.ImgUrl.insert(again.ImgUrl.rfind('/'), "/again");
    bool written = true;
    FUZZ_CHECK(add_local_record_if_absent(file, again, &written) == expected);
    FUZZ_CHECK(!written);
    return 0;
}
