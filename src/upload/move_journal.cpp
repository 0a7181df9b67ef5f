#include "upload/move_journal.h"

#include "runtime/files.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>
#include <vector>

namespace velpic {

namespace {

class OpenFile {
public:
    explicit OpenFile(int fd) : fd_(fd) {}
    ~OpenFile() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    OpenFile(const OpenFile&) = delete;
    OpenFile& operator=(const OpenFile&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

// The size the journal has without a torn last line: just after its last line end (0 when there is none).
bool whole_lines_size(int fd, off_t size, off_t& whole) {
    char last = 0;
    if (size == 0 || (::pread(fd, &last, 1, size - 1) == 1 && last == '\n')) {
        whole = size;
        return true;
    }
    std::vector<char> chunk(4096);
    for (off_t end = size; end > 0;) {
        const off_t start = std::max<off_t>(0, end - static_cast<off_t>(chunk.size()));
        const auto want = static_cast<std::size_t>(end - start);
        if (::pread(fd, chunk.data(), want, start) != static_cast<ssize_t>(want))
            return false;
        for (std::size_t i = want; i > 0; --i) {
            if (chunk[i - 1] == '\n') {
                whole = start + static_cast<off_t>(i);
                return true;
            }
        }
        end = start;
    }
    whole = 0;
    return true;
}

} // namespace

std::filesystem::path move_journal_path(const std::filesystem::path& map_path) {
    std::filesystem::path journal = map_path;
    journal += ".journal";
    return journal;
}

bool append_move_journal(const std::filesystem::path& journal, std::string_view old_address,
                         std::string_view new_address) {
    const bool existed = std::filesystem::exists(journal);
    const OpenFile file(::open(journal.c_str(), O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC | O_NOCTTY, 0600));
    struct stat status {};
    if (file.get() < 0 || ::fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode))
        return false;
    // Two moves at once must not interleave their lines; the lock goes with the descriptor.
    if (::flock(file.get(), LOCK_EX) != 0 || ::fstat(file.get(), &status) != 0)
        return false;
    off_t whole = 0;
    if (!whole_lines_size(file.get(), status.st_size, whole))
        return false;
    if (whole != status.st_size && ::ftruncate(file.get(), whole) != 0)
        return false;
    std::string line;
    line.reserve(old_address.size() + new_address.size() + 2);
    line.append(old_address).append("\t").append(new_address).append("\n");
    if (!write_all_bytes(file.get(), line) || ::fsync(file.get()) != 0)
        return false;
    if (!existed) { // the new name lasts only once its directory is on disk
        const OpenFile directory(::open(journal.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (directory.get() >= 0)
            ::fsync(directory.get());
    }
    return true;
}

std::string move_map_text(std::string_view journal) {
    std::vector<std::string> order;                                  // old addresses, first met first
    std::unordered_map<std::string, std::string> destination;        // old -> where it ends now
    std::unordered_map<std::string, std::vector<std::string>> leads; // an end -> the old addresses ending there
    while (!journal.empty()) {
        const std::size_t end = journal.find('\n');
        if (end == std::string_view::npos)
            break; // a torn last line
        const std::string_view line = journal.substr(0, end);
        journal.remove_prefix(end + 1);
        const std::size_t tab = line.find('\t');
        if (tab == 0 || tab == std::string_view::npos || tab + 1 == line.size() ||
            line.find('\t', tab + 1) != std::string_view::npos)
            continue;
        const std::string old_address(line.substr(0, tab));
        const std::string new_address(line.substr(tab + 1));
        // Everything that ended at old_address moves on with it.
        std::vector<std::string> moving;
        if (auto found = leads.find(old_address); found != leads.end()) {
            moving = std::move(found->second);
            leads.erase(found);
        }
        if (auto [entry, added] = destination.try_emplace(old_address, new_address); added) {
            order.push_back(old_address);
            moving.push_back(old_address);
        } else if (entry->second != old_address && moving.empty()) {
            // Its record moves again from old_address (an earlier run was cut off before the record changed).
            std::erase(leads[entry->second], old_address);
            moving.push_back(old_address);
        } // else it had come back where it began and is among those moving, or another picture's record came to
          // old_address after its own had left: the line moves that one, and old_address's own stays where it went
        for (const std::string& moved : moving)
            destination[moved] = new_address;
        std::vector<std::string>& arriving = leads[new_address];
        arriving.insert(arriving.end(), moving.begin(), moving.end());
    }
    // Relink follows a line's new address on when another line starts there: a record that came to the old address
    // of another picture's record would be carried on to where that one went. Such a line is left out: its notes
    // keep the address they had rather than show another picture, and the map has no chain to follow.
    std::unordered_map<std::string_view, bool> starts;
    for (const std::string& old_address : order)
        starts.emplace(old_address, destination[old_address] != old_address);
    std::string text;
    for (const std::string& old_address : order) {
        const std::string& end = destination[old_address];
        const auto start = starts.find(end);
        if (end != old_address && (start == starts.end() || !start->second))
            text.append(old_address).append("\t").append(end).append("\n");
    }
    return text;
}

} // namespace velpic
