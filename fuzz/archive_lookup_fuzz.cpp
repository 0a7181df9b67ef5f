// The local archive looked up and written by a digest and a type that come from records and answers: no name ever
// leads out of the archive's folder of that digest, a copy is found only under its own digest, and a copy is
// verified only when its bytes have that digest.
#include "fuzz_support.h"
#include "records/picture_archive_lookup.h"
#include "runtime/gbk_text.h"
#include "runtime/md5.h"
#include "upload/picture_archive.h"

using namespace velpic;
using velpic::fuzz::FuzzInput;

namespace {

const fuzz::ScratchDir scratch;

// Whether path names a file directly inside folder, after nothing but plain names.
bool directly_inside(const std::filesystem::path& path, const std::filesystem::path& folder) {
    return path.parent_path() == folder && path.filename() != "." && path.filename() != "..";
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > 4096)
        return 0;
    FuzzInput input(data, size);
    const std::filesystem::path program_dir = scratch.path() / "program";
    std::filesystem::remove_all(program_dir);
    std::filesystem::create_directories(program_dir);
    const std::filesystem::path archive = archive_folder(program_dir);

    const std::string_view bytes = input.field(3);
    const std::string digest = input.flag(0) ? md5_hex(bytes) : std::string(input.field(0));
    const std::string_view extension = input.field(1);
    const std::string_view type = input.field(2);

    const std::string kept = keep_archive_copy(program_dir, digest, extension, bytes);
    if (kept.empty()) {
        FUZZ_CHECK(is_digest_text(digest) && md5_hex(bytes) == digest);
        const std::filesystem::path copy = archive_copy_path(program_dir, digest, extension);
        FUZZ_CHECK(directly_inside(copy, archive / digest.substr(0, 2)));
        const ArchivedPicture found = find_archive_copy(program_dir, digest);
        FUZZ_CHECK(found.state == ArchivedPicture::State::verified && found.bytes == bytes);
        FUZZ_CHECK(has_verified_copy(program_dir, digest));
    }
    // Whatever was asked, nothing lies outside the archive but the archive itself.
    for (const auto& entry : std::filesystem::recursive_directory_iterator(program_dir)) {
        const std::filesystem::path relative = entry.path().lexically_relative(archive);
        FUZZ_CHECK(!relative.empty() && *relative.begin() != "..");
    }

    // The lookup by a record's digest (any letter case) and type.
    const std::string asked = input.flag(1) ? text_upper(digest) : digest;
    const std::optional<std::filesystem::path> file = archived_picture_file(program_dir, asked, type);
    if (file) {
        FUZZ_CHECK(kept.empty());
        FUZZ_CHECK(directly_inside(*file, archive / digest.substr(0, 2)));
        FUZZ_CHECK(file->filename().string().starts_with(digest + "."));
    }

    bool removed = false;
    FUZZ_CHECK(remove_archive_copy(program_dir, digest, &removed) || !is_digest_text(digest));
    FUZZ_CHECK(removed == kept.empty());
    FUZZ_CHECK(find_archive_copy(program_dir, digest).state == ArchivedPicture::State::missing);
    return 0;
}
