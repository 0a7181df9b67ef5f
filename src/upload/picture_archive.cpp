#include "upload/picture_archive.h"

#include "runtime/codepage.h"
#include "runtime/files.h"
#include "runtime/md5.h"
#include "runtime/program_dir.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>
#include <vector>

namespace velpic {

namespace {

constexpr mode_t kPrivateFile = 0600;

// A folder of the archive, made private; an existing one that others may read is tightened, as screenshots are
// private (make_private_folder says which folders it never touches). Empty on success, else why (GBK).
std::string private_folder(const std::filesystem::path& program_dir, const std::filesystem::path& folder) {
    std::error_code error;
    switch (make_private_folder(program_dir, folder, error)) {
    case PrivateFolder::ready:
        return {};
    case PrivateFolder::not_made:
        return utf8_to_gbk("无法创建文件夹 " + folder.string() + "：" + std::strerror(error.value()));
    case PrivateFolder::not_narrowed:
        break;
    }
    return utf8_to_gbk("无法设置文件夹 " + folder.string() + " 的权限：" + std::strerror(error.value()));
}

void sync_folder(const std::filesystem::path& folder) {
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

std::string file_name_text(const std::filesystem::path& path) {
    const std::u8string name = path.filename().u8string();
    return std::string(name.begin(), name.end());
}

// The name of a temporary copy of digest: it starts with "." so that no listing takes it for a copy.
std::filesystem::path temporary_name(const std::filesystem::path& folder, std::string_view digest) {
    static std::atomic<unsigned> counter{0};
    return folder / ("." + std::string(digest) + ".tmp-" + std::to_string(::getpid()) + "-" +
                     std::to_string(counter.fetch_add(1)));
}

bool copy_has_size(const std::filesystem::path& path, std::uintmax_t size) {
    struct stat status {};
    return ::lstat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode) &&
           static_cast<std::uintmax_t>(status.st_size) == size;
}

bool copy_verifies(const std::filesystem::path& path, std::string_view digest, std::uintmax_t size) {
    if (!copy_has_size(path, size))
        return false;
    const FileRead read = read_regular_file(path, size);
    return read.status == FileReadStatus::ok && md5_hex(read.bytes) == digest;
}

} // namespace

std::filesystem::path archive_folder(const std::filesystem::path& program_dir) {
    return program_dir / std::filesystem::path(u8"图片存档");
}

std::filesystem::path archive_copy_path(const std::filesystem::path& program_dir, std::string_view digest,
                                        std::string_view extension) {
    const std::string name = std::string(digest) + std::string(extension);
    return archive_folder(program_dir) / std::string(digest.substr(0, 2)) / name;
}

bool is_digest_text(std::string_view text) {
    if (text.size() != 32)
        return false;
    for (char c : text)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
            return false;
    return true;
}

std::string keep_archive_copy(const std::filesystem::path& program_dir, std::string_view digest,
                              std::string_view extension, std::string_view bytes, ExistingCopy existing) {
    // The name becomes a path: a digest that is not hex, or an extension holding a "/", would leave the folder.
    if (!is_digest_text(digest) || extension.size() < 2 || extension.front() != '.' ||
        extension.find_first_of("/\\", 0) != std::string_view::npos || extension.find('\0') != std::string_view::npos)
        return utf8_to_gbk("图片的摘要或类型无效，无法存档");
    const std::filesystem::path target = archive_copy_path(program_dir, digest, extension);
    // Reading a large copy back would hold the picture a second time and digest it again on every upload of it;
    // copies are only ever written whole and renamed into place, so the size of one named by the digest says enough
    // unless a deep check asks.
    if (existing == ExistingCopy::by_size ? copy_has_size(target, bytes.size())
                                          : copy_verifies(target, digest, bytes.size()))
        return {};
    // A delete in another process removes a folder it emptied; one removed between its making and the first file
    // in it is made again (a file inside keeps it from then on).
    std::filesystem::path temporary;
    int fd = -1;
    for (int attempt = 0; attempt < 3 && fd < 0; ++attempt) {
        for (const std::filesystem::path& folder : {archive_folder(program_dir), target.parent_path()}) {
            if (std::string why = private_folder(program_dir, folder); !why.empty())
                return why;
        }
        temporary = temporary_name(target.parent_path(), digest);
        fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, kPrivateFile);
        if (fd < 0 && errno != ENOENT)
            break;
    }
    if (fd < 0)
        return utf8_to_gbk("无法写入本地存档 " + temporary.string() + "：" + std::strerror(errno));
    bool ok = write_all_bytes(fd, bytes) && ::fsync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    ok = ok && ::rename(temporary.c_str(), target.c_str()) == 0;
    if (!ok) {
        const int failure = errno;
        ::unlink(temporary.c_str());
        return utf8_to_gbk("无法写入本地存档 " + target.string() + "：" + std::strerror(failure));
    }
    sync_folder(target.parent_path());
    return {};
}

ArchivedPicture find_archive_copy(const std::filesystem::path& program_dir, std::string_view digest,
                                  std::uintmax_t max_bytes) {
    ArchivedPicture found;
    if (!is_digest_text(digest))
        return found;
    const std::filesystem::path folder = archive_folder(program_dir) / std::string(digest.substr(0, 2));
    const std::string prefix = std::string(digest) + ".";
    std::error_code error;
    for (std::filesystem::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
        const std::string name = file_name_text(it->path());
        if (!name.starts_with(prefix))
            continue;
        found.path = it->path();
        found.extension = name.substr(digest.size());
        const FileRead read = read_regular_file(found.path, max_bytes);
        if (read.status == FileReadStatus::ok && md5_hex(read.bytes) == digest) {
            found.state = ArchivedPicture::State::verified;
            found.bytes = std::move(read.bytes);
            return found; // one good copy is enough, whatever else lies beside it
        }
        found.state = ArchivedPicture::State::damaged;
    }
    return found;
}

bool has_verified_copy(const std::filesystem::path& program_dir, std::string_view digest) {
    return find_archive_copy(program_dir, digest).state == ArchivedPicture::State::verified;
}

bool remove_archive_copy(const std::filesystem::path& program_dir, std::string_view digest, bool* removed) {
    if (removed)
        *removed = false;
    if (!is_digest_text(digest))
        return false;
    const std::filesystem::path folder = archive_folder(program_dir) / std::string(digest.substr(0, 2));
    const std::string copy = std::string(digest) + ".";
    const std::string temporary = "." + std::string(digest) + ".tmp-";
    std::vector<std::filesystem::path> doomed;
    std::error_code error;
    for (std::filesystem::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
        const std::string name = file_name_text(it->path());
        if (name.starts_with(copy) || name.starts_with(temporary))
            doomed.push_back(it->path());
    }
    bool all_gone = true;
    for (const std::filesystem::path& path : doomed) {
        if (::unlink(path.c_str()) == 0) {
            if (removed && file_name_text(path).starts_with(copy))
                *removed = true;
        } else if (errno != ENOENT) {
            all_gone = false;
        }
    }
    if (!doomed.empty())
        sync_folder(folder);
    // An emptied folder would stay behind for ever; one still holding other pictures refuses and stays.
    if (all_gone && ::rmdir(folder.c_str()) == 0)
        sync_folder(folder.parent_path());
    return all_gone;
}

std::string damaged_copy_message(std::string_view digest) {
    return utf8_to_gbk("本地存档中的图片 " + std::string(digest) + " 已损坏（内容与摘要不符）");
}

} // namespace velpic
