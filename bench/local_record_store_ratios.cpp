// The local record store measured against itself: the record work of an upload into a large store against the same
// work into an empty store, filling a store twice as far, and listing ten times as many records. Prints each figure
// and the ratio it is judged by.
//   ./build/bench/local_record_store_ratios [records=100000] [fill=500]
#include "records/local_record_file.h"
#include "runtime/ini_file.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <system_error>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

double cpu_seconds() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// Resident and peak resident memory of this process image in KB. Linux keeps the peak in /proc (ru_maxrss would
// carry the parent's peak across fork and exec).
long status_kb(const char* field) {
    std::FILE* status = std::fopen("/proc/self/status", "r");
    if (status == nullptr)
        return 0;
    char line[256];
    long kb = 0;
    const std::size_t length = std::strlen(field);
    while (std::fgets(line, sizeof line, status) != nullptr)
        if (std::strncmp(line, field, length) == 0)
            kb = std::strtol(line + length, nullptr, 10);
    std::fclose(status);
    return kb;
}

velpic::UploadRecord numbered_record(unsigned long i, unsigned long salt = 0) {
    char digest[33];
    std::snprintf(digest, sizeof digest, "%016lx%016lx", salt, i * 2654435761ul);
    return velpic::UploadRecord{digest, "1700000000123", "",
                                std::string("https://gitee.com/owner/repo/raw/master/") + digest + ".png", ".png"};
}

std::string record_bytes(int records) {
    std::string bytes;
    bytes.reserve(static_cast<std::size_t>(records) * 190);
    for (int i = 0; i < records; ++i) {
        const velpic::UploadRecord r = numbered_record(static_cast<unsigned long>(i));
        bytes.append("[").append(r.ImgMd5).append("]\r\nImgMd5=").append(r.ImgMd5);
        bytes.append("\r\nImgType=.png\r\nImgUploadTime=").append(r.ImgUploadTime).append("\r\nImgUrl=");
        bytes.append(r.ImgUrl).append("\r\n");
    }
    return bytes;
}

void put(const std::filesystem::path& file, const std::string& bytes) {
    if (std::FILE* out = std::fopen(file.c_str(), "wb")) {
        std::fwrite(bytes.data(), 1, bytes.size(), out);
        std::fclose(out);
    }
}

class Scratch {
public:
    Scratch() {
        std::string pattern = (std::filesystem::temp_directory_path() / "velpic-bench-XXXXXX").string();
        if (mkdtemp(pattern.data()) != nullptr)
            dir_ = pattern;
    }
    ~Scratch() {
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }
    std::filesystem::path file(const std::string& name) const { return dir_ / name; }

private:
    std::filesystem::path dir_;
};

// What an upload does with the store: the lookup before the commit, then the locked lookup and write after it.
bool record_work(const std::filesystem::path& file, const velpic::UploadRecord& record) {
    if (velpic::find_local_record(file, record.ImgMd5))
        return false;
    bool written = false;
    return !velpic::add_local_record_if_absent(file, record, &written) && written;
}

struct Timing {
    double wall = 0;
    double cpu = 0;
};

// Mean record work of new pictures; before each one, prepare runs untimed.
template <class Prepare>
Timing mean_record_work(const std::filesystem::path& file, int uploads, unsigned long salt, Prepare prepare) {
    Timing total;
    for (int i = 0; i < uploads; ++i) {
        prepare();
        const velpic::UploadRecord record = numbered_record(static_cast<unsigned long>(i), salt);
        const double cpu = cpu_seconds();
        const auto start = Clock::now();
        if (!record_work(file, record))
            std::fprintf(stderr, "record work failed\n");
        total.wall += seconds_since(start);
        total.cpu += cpu_seconds() - cpu;
    }
    return Timing{total.wall / uploads, total.cpu / uploads};
}

void compare_record_work(int records) {
    Scratch scratch;
    const auto empty = scratch.file("empty.ini");
    const auto large = scratch.file("large.ini");
    put(large, record_bytes(records));
    constexpr int kUploads = 200;

    const Timing into_empty = mean_record_work(empty, kUploads, 1, [&] { std::filesystem::remove(empty); });
    // A window that has uploaded before has read the file twice and holds its index.
    velpic::find_local_record(large, "warm-up-1");
    velpic::find_local_record(large, "warm-up-2");
    const Timing warm = mean_record_work(large, kUploads, 2, [] {});
    // A new process (the command line) reads the file for the first time: a fresh copy, flushed to disk so that its
    // writing does not slow the fsync of the append, is a file this process has not read yet.
    const std::filesystem::path copies[] = {scratch.file("copy-a.ini"), scratch.file("copy-b.ini")};
    Timing cold;
    constexpr int kFirstReadings = 20;
    for (int i = 0; i < kFirstReadings; ++i) {
        const auto& copy = copies[i % 2];
        std::filesystem::copy_file(large, copy, std::filesystem::copy_options::overwrite_existing);
        const int fd = open(copy.c_str(), O_RDONLY);
        fsync(fd);
        close(fd);
        const Timing one = mean_record_work(copy, 1, 100 + static_cast<unsigned long>(i), [] {});
        cold.wall += one.wall / kFirstReadings;
        cold.cpu += one.cpu / kFirstReadings;
    }

    std::printf("record work of one new upload (lookup, locked lookup, append, fsync):\n");
    std::printf("  empty store, mean of %d                     %8.3f ms wall %8.3f ms cpu\n", kUploads,
                into_empty.wall * 1e3, into_empty.cpu * 1e3);
    std::printf("  %d records, index held, mean of %d       %8.3f ms wall %8.3f ms cpu   ratio %.2f wall, %.2f cpu "
                "(target <= 2)\n",
                records, kUploads, warm.wall * 1e3, warm.cpu * 1e3, warm.wall / into_empty.wall,
                warm.cpu / into_empty.cpu);
    std::printf("  %d records, first reading, mean of %d     %8.3f ms wall %8.3f ms cpu   ratio %.2f wall, %.2f cpu\n",
                records, kFirstReadings, cold.wall * 1e3, cold.cpu * 1e3, cold.wall / into_empty.wall,
                cold.cpu / into_empty.cpu);
}

Timing fill(const std::filesystem::path& file, int uploads, unsigned long salt) {
    std::filesystem::remove(file);
    const double cpu = cpu_seconds();
    const auto start = Clock::now();
    for (int i = 0; i < uploads; ++i)
        record_work(file, numbered_record(static_cast<unsigned long>(i), salt));
    return Timing{seconds_since(start), cpu_seconds() - cpu};
}

void compare_filling(int uploads) {
    Scratch scratch;
    const auto file = scratch.file("fill.ini");
    // The best of three, as the fsyncs of a shared disk vary from run to run.
    Timing once{1e9, 1e9};
    Timing twice{1e9, 1e9};
    for (unsigned long run = 0; run < 3; ++run) {
        const Timing a = fill(file, uploads, 4 + 2 * run);
        const Timing b = fill(file, 2 * uploads, 5 + 2 * run);
        once = Timing{std::min(once.wall, a.wall), std::min(once.cpu, a.cpu)};
        twice = Timing{std::min(twice.wall, b.wall), std::min(twice.cpu, b.cpu)};
    }
    std::printf("filling an empty store by uploads (best of 3):\n");
    std::printf("  %6d uploads %8.3f s wall %8.3f s cpu\n", uploads, once.wall, once.cpu);
    std::printf("  %6d uploads %8.3f s wall %8.3f s cpu   ratio %.2f wall, %.2f cpu (linear: 2)\n", 2 * uploads,
                twice.wall, twice.cpu, twice.wall / once.wall, twice.cpu / once.cpu);
}

// One listing in a fresh process, so that its peak memory is its own: "cpu peak_kb baseline_kb".
int list_once(const char* mode, const char* file) {
    const long baseline = status_kb("VmRSS:");
    const double cpu = cpu_seconds();
    std::size_t listed = 0;
    if (std::string(mode) == "--list") {
        listed = velpic::read_all_local_records(file).size();
    } else {
        // The full INI reading that the listing used to do: every line parsed, every value looked up by name.
        std::vector<std::string> names;
        velpic::list_ini_sections(file, names);
        velpic::IniDocument document = velpic::IniDocument::load(file);
        std::vector<velpic::UploadRecord> records;
        for (const std::string& name : names)
            records.push_back(velpic::UploadRecord{document.value(name, "ImgMd5"),
                                                   document.value(name, "ImgUploadTime"), "",
                                                   document.value(name, "ImgUrl"), document.value(name, "ImgType")});
        listed = records.size();
    }
    std::printf("%.6f %ld %ld %zu\n", cpu_seconds() - cpu, status_kb("VmHWM:"), baseline, listed);
    return 0;
}

struct Listing {
    double cpu = 1e9;
    double peak_mb = 0;
};

Listing measure_listing(const char* self, const char* mode, const std::filesystem::path& file) {
    Listing best;
    for (int run = 0; run < 7; ++run) {
        int fds[2];
        if (pipe(fds) != 0)
            return best;
        const pid_t child = fork();
        if (child == 0) {
            dup2(fds[1], STDOUT_FILENO);
            close(fds[0]);
            execl(self, self, mode, file.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        close(fds[1]);
        char text[256] = {};
        const ssize_t got = read(fds[0], text, sizeof text - 1);
        close(fds[0]);
        waitpid(child, nullptr, 0);
        double cpu = 0;
        long peak = 0, baseline = 0;
        std::size_t listed = 0;
        if (got <= 0 || std::sscanf(text, "%lf %ld %ld %zu", &cpu, &peak, &baseline, &listed) != 4)
            continue;
        best.cpu = std::min(best.cpu, cpu);
        best.peak_mb = std::max(best.peak_mb, static_cast<double>(peak - baseline) / 1024.0);
    }
    return best;
}

void compare_listing(const char* self, int records) {
    Scratch scratch;
    const auto small = scratch.file("small.ini");
    const auto large = scratch.file("large.ini");
    put(small, record_bytes(records / 10));
    put(large, record_bytes(records));
    const double large_mb = static_cast<double>(std::filesystem::file_size(large)) / (1024.0 * 1024.0);
    std::printf("listing every record (best CPU of 7 runs, peak memory above the process's start):\n");
    for (const char* mode : {"--list", "--list-reference"}) {
        const Listing a = measure_listing(self, mode, small);
        const Listing b = measure_listing(self, mode, large);
        std::printf("  %-18s %6d records %7.3f s cpu %7.1f MB | %6d records %7.3f s cpu %7.1f MB = %.2f x file "
                    "(%.1f MB) | time ratio %.2f\n",
                    std::string(mode) == "--list" ? "one pass" : "full INI reading", records / 10, a.cpu, a.peak_mb,
                    records, b.cpu, b.peak_mb, b.peak_mb / large_mb, large_mb, b.cpu / a.cpu);
    }
    std::printf("  targets: <= 0.25 s cpu and <= 3 x the file for %d records, time ratio <= 10.5\n", records);
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::string(argv[1]).starts_with("--list"))
        return list_once(argv[1], argv[2]);
    const int records = argc > 1 ? std::atoi(argv[1]) : 100000;
    const int uploads = argc > 2 ? std::atoi(argv[2]) : 500;
    compare_record_work(records);
    compare_filling(uploads);
    compare_listing(argv[0], records);
    return 0;
}
