// `velpic upload` of a large picture against its floor, both sending to the same local server in one run:
//   CPU: velpic against md5sum + base64 -w0 + curl POSTing the very body velpic sent (captured by the server);
//   memory: peak resident memory above the idle size (the same command with a 1 KB picture), per byte of picture,
//           for velpic and for that curl;
// then a whole `velpic upload` of a small picture into a local store of 100,000 records against one into an empty
// store. Each figure is the median of the rounds; the programs take turns within each round.
//   ./build/bench/upload_ratio [--sizes 20,50] [--rounds 5] [--records 100000] [--small-kb 64] [--velpic PATH]
#include "process_usage.h"

#include <httplib.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <system_error>
#include <vector>

namespace {

namespace fs = std::filesystem;
using bench::ChildUsage;
using bench::median;
using bench::run_measured;

struct Options {
    std::vector<int> sizes_mb{20, 50};
    int rounds = 5;
    int records = 100000;
    int small_kb = 64;
    std::string velpic = VELPIC_PROGRAM;
};

// The hosting service's create-file call, answered at once. The first body of each length is kept in the
// directory, for curl to send the same bytes.
[[noreturn]] void serve(int port_pipe, const fs::path& dir) {
    httplib::Server server;
    server.set_payload_max_length(std::size_t{1} << 30);
    int port = 0;
    server.Post(R"(/api/v5/repos/([^/]+)/([^/]+)/contents/(.+))", [&](const httplib::Request& request,
                                                                      httplib::Response& response) {
        const fs::path kept = dir / ("body-" + std::to_string(request.body.size()) + ".json");
        if (!fs::exists(kept))
            std::ofstream(kept, std::ios::binary) << request.body;
        const std::string address = "http://127.0.0.1:" + std::to_string(port) + "/" + request.matches[1].str() + "/" +
                                    request.matches[2].str() + "/raw/master/" + request.matches[3].str();
        response.status = 201;
        response.set_content(R"({"content":{"download_url":")" + address + R"(","sha":"0"},"commit":{}})",
                             "application/json");
    });
    port = server.bind_to_any_port("127.0.0.1");
    if (write(port_pipe, &port, sizeof port) != sizeof port || port <= 0)
        _exit(1);
    close(port_pipe);
    server.listen_after_bind();
    _exit(0);
}

// A picture file of random-looking bytes after a PNG signature, written in small pieces so that this process
// stays small (its children's peaks would carry its own pages).
void write_picture(const fs::path& file, std::size_t size, unsigned seed) {
    std::ofstream out(file, std::ios::binary);
    out.write("\x89PNG\r\n\x1a\n", 8);
    std::uint64_t state = 0x9E3779B97F4A7C15ull * (seed + 1);
    char chunk[65536];
    for (std::size_t written = 8; written < size;) {
        for (std::size_t i = 0; i < sizeof chunk; i += 8) {
            state ^= state << 13;
            state ^= state >> 7;
            state ^= state << 17;
            std::memcpy(chunk + i, &state, 8);
        }
        const std::size_t count = std::min(sizeof chunk, size - written);
        out.write(chunk, static_cast<std::streamsize>(count));
        written += count;
    }
}

// The local record file as the program writes it, n records.
void write_record_store(const fs::path& file, int records) {
    std::ofstream out(file, std::ios::binary);
    char digest[33];
    for (int i = 0; i < records; ++i) {
        std::snprintf(digest, sizeof digest, "%016x%016lx", 0u, static_cast<unsigned long>(i) * 2654435761ul);
        out << "[" << digest << "]\r\nImgMd5=" << digest << "\r\nImgType=.png\r\nImgUploadTime=1700000000123\r\n"
            << "ImgUrl=https://gitee.com/owner/repo/raw/master/" << digest << ".png\r\n";
    }
}

// The next reading of the file comes from the disk, as in a process started after the file has left the cache.
void drop_from_page_cache(const fs::path& file) {
    const int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return;
    fdatasync(fd); // only clean pages can be dropped
    posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
    close(fd);
}

std::string first_line(const fs::path& file) {
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);
    return line;
}

class Bench {
public:
    Bench(Options options, fs::path dir, std::string base)
        : options_(std::move(options)), dir_(std::move(dir)), base_(std::move(base)) {}

    bool configure(const fs::path& data_dir) const {
        fs::create_directories(data_dir);
        const ChildUsage set = run_measured({options_.velpic, "--data-dir", data_dir.string(), "config", "set", "owner",
                                             "alice", "repo", "pics", "token", "tok"},
                                            env(), "/dev/null", (dir_ / "config.err").string());
        if (set.exit_status != 0)
            std::cerr << "velpic config set failed: " << first_line(dir_ / "config.err") << "\n";
        return set.exit_status == 0;
    }

    // One `velpic upload` into data_dir; the record file is removed first when fresh is set.
    ChildUsage upload(const fs::path& data_dir, const fs::path& picture, bool fresh = true) const {
        if (fresh)
            fs::remove(data_dir / u8"本地记录.ini");
        const fs::path out = dir_ / "upload.out";
        ChildUsage usage = run_measured({options_.velpic, "--data-dir", data_dir.string(), "upload", picture.string()},
                                        env(), out.string(), (dir_ / "upload.err").string());
        if (usage.exit_status != 0 || first_line(out).find("/raw/master/") == std::string::npos) {
            std::cerr << "velpic upload failed (" << usage.exit_status << "): " << first_line(dir_ / "upload.err")
                      << "\n";
            usage.exit_status = usage.exit_status == 0 ? 1 : usage.exit_status;
        }
        return usage;
    }

    ChildUsage curl_post(const fs::path& body) const {
        return run_measured({"curl", "-s", "-S", "-o", "/dev/null", "--data-binary", "@" + body.string(), "-H",
                             "Content-Type: application/json;charset=UTF-8", "-H",
                             "Expect:", base_ + "api/v5/repos/alice/pics/contents/curl.png"});
    }

    // The body the server kept for a picture of this size.
    fs::path kept_body(std::uintmax_t picture_size) const {
        for (const auto& entry : fs::directory_iterator(dir_)) {
            const std::string name = entry.path().filename().string();
            if (!name.starts_with("body-"))
                continue;
            const std::uintmax_t length = std::stoull(name.substr(5));
            if (length >= (picture_size + 2) / 3 * 4 && length < (picture_size + 2) / 3 * 4 + 200)
                return entry.path();
        }
        return {};
    }

    std::vector<std::string> env() const { return {"VELPIC_SERVICE_BASE=" + base_}; }

private:
    Options options_;
    fs::path dir_;
    std::string base_;
};

struct Samples {
    std::vector<double> cpu, wall, peak_mb;
    void add(const ChildUsage& usage) {
        cpu.push_back(usage.cpu_seconds);
        wall.push_back(usage.wall_seconds);
        peak_mb.push_back(static_cast<double>(usage.peak_kb) / 1024.0);
    }
};

bool compare_large_uploads(const Bench& bench, const Options& options, const fs::path& dir) {
    const fs::path data = dir / "data";
    if (!bench.configure(data))
        return false;
    const fs::path tiny = dir / "tiny.png";
    write_picture(tiny, 1024, 1);
    if (bench.upload(data, tiny).exit_status != 0)
        return false;
    const fs::path tiny_body = bench.kept_body(1024);

    std::printf("velpic upload of one picture to a local server against md5sum + base64 -w0 + curl POST of the same "
                "body (median of %d rounds)\n",
                options.rounds);
    std::printf("  %6s %9s %9s %9s %9s %9s %7s | %9s %9s %9s\n", "MB", "velpic", "md5sum", "base64", "curl", "floor",
                "ratio", "velpic/MB", "floor/MB", "ratio/MB");
    std::vector<std::string> memory_lines;
    double first_per_mb = 0;
    for (int mb : options.sizes_mb) {
        const std::size_t size = static_cast<std::size_t>(mb) * 1024 * 1024;
        const fs::path picture = dir / ("picture-" + std::to_string(mb) + ".png");
        write_picture(picture, size, static_cast<unsigned>(mb));
        if (bench.upload(data, picture).exit_status != 0) // also has the server keep its body for curl
            return false;
        const fs::path body = bench.kept_body(size);
        if (body.empty() || tiny_body.empty()) {
            std::cerr << "the server kept no body\n";
            return false;
        }
        Samples velpic, velpic_idle, md5, base64, curl, curl_idle;
        for (int round = 0; round < options.rounds; ++round) {
            velpic_idle.add(bench.upload(data, tiny));
            velpic.add(bench.upload(data, picture));
            md5.add(run_measured({"md5sum", picture.string()}));
            base64.add(run_measured({"base64", "-w0", picture.string()}));
            curl_idle.add(bench.curl_post(tiny_body));
            curl.add(bench.curl_post(body));
        }
        const double floor = median(md5.cpu) + median(base64.cpu) + median(curl.cpu);
        const double velpic_cpu = median(velpic.cpu);
        const double per_mb = velpic_cpu / mb;
        if (first_per_mb == 0)
            first_per_mb = per_mb;
        std::printf("  %6d %8.1fms %8.1fms %8.1fms %8.1fms %8.1fms %6.2fx | %7.2fms %7.2fms %8.2fx\n", mb,
                    velpic_cpu * 1e3, median(md5.cpu) * 1e3, median(base64.cpu) * 1e3, median(curl.cpu) * 1e3,
                    floor * 1e3, velpic_cpu / floor, per_mb * 1e3, floor / mb * 1e3, per_mb / first_per_mb);
        const double velpic_above = median(velpic.peak_mb) - median(velpic_idle.peak_mb);
        const double curl_above = median(curl.peak_mb) - median(curl_idle.peak_mb);
        char line[256];
        std::snprintf(line, sizeof line, "  %6d %9.1f MB %9.1f MB %8.2fx | %9.1f MB %9.1f MB %8.2fx", mb,
                      median(velpic.peak_mb), median(velpic_idle.peak_mb), velpic_above / mb, median(curl.peak_mb),
                      median(curl_idle.peak_mb), curl_above / mb);
        memory_lines.push_back(line);
        fs::remove(picture);
    }
    std::printf("  targets: ratio <= 1.5; ratio/MB (CPU per MB against the first size) <= 1\n");
    std::printf("peak resident memory above the idle size (the same command with a 1 KB picture), per MB of picture\n");
    std::printf("  %6s %12s %12s %9s | %12s %12s %9s\n", "MB", "velpic", "idle", "ratio", "curl", "idle", "ratio");
    for (const std::string& line : memory_lines)
        std::printf("%s\n", line.c_str());
    std::printf("  target: velpic ratio <= 1.5 at every size\n");
    return true;
}

bool compare_store_sizes(const Bench& bench, const Options& options, const fs::path& dir) {
    const fs::path empty = dir / "empty-store";
    const fs::path large = dir / "large-store";
    if (!bench.configure(empty) || !bench.configure(large))
        return false;
    write_record_store(large / u8"本地记录.ini", options.records);
    Samples into_empty, into_large, from_disk;
    for (int round = 0; round < options.rounds * 2; ++round) {
        // New pictures each time, so that every upload commits and records its picture.
        const fs::path picture = dir / ("small-" + std::to_string(round) + ".png");
        const fs::path other = dir / ("small-other-" + std::to_string(round) + ".png");
        write_picture(picture, static_cast<std::size_t>(options.small_kb) * 1024, 1000 + static_cast<unsigned>(round));
        write_picture(other, static_cast<std::size_t>(options.small_kb) * 1024, 5000 + static_cast<unsigned>(round));
        const ChildUsage a = bench.upload(empty, picture);
        const ChildUsage b = bench.upload(large, picture, false);
        drop_from_page_cache(large / u8"本地记录.ini");
        const ChildUsage c = bench.upload(large, other, false);
        if (a.exit_status != 0 || b.exit_status != 0 || c.exit_status != 0)
            return false;
        into_empty.add(a);
        into_large.add(b);
        from_disk.add(c);
        fs::remove(picture);
        fs::remove(other);
    }
    std::printf("whole velpic upload of a new %d KB picture, each a new process (median of %d)\n", options.small_kb,
                options.rounds * 2);
    std::printf("  empty store           %8.1f ms cpu %8.1f ms wall\n", median(into_empty.cpu) * 1e3,
                median(into_empty.wall) * 1e3);
    std::printf("  %7d records        %8.1f ms cpu %8.1f ms wall   ratio %.2f cpu, %.2f wall (target <= 2)\n",
                options.records, median(into_large.cpu) * 1e3, median(into_large.wall) * 1e3,
                median(into_large.cpu) / median(into_empty.cpu), median(into_large.wall) / median(into_empty.wall));
    std::printf("  %7d, read from disk %8.1f ms cpu %8.1f ms wall   ratio %.2f cpu, %.2f wall (the store file dropped "
                "from the page cache first)\n",
                options.records, median(from_disk.cpu) * 1e3, median(from_disk.wall) * 1e3,
                median(from_disk.cpu) / median(into_empty.cpu), median(from_disk.wall) / median(into_empty.wall));
    return true;
}

Options parse(int argc, char** argv) {
    Options options;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string name = argv[i];
        const std::string value = argv[i + 1];
        if (name == "--sizes") {
            options.sizes_mb.clear();
            std::stringstream list(value);
            for (std::string item; std::getline(list, item, ',');)
                options.sizes_mb.push_back(std::stoi(item));
        } else if (name == "--rounds") {
            options.rounds = std::stoi(value);
        } else if (name == "--records") {
            options.records = std::stoi(value);
        } else if (name == "--small-kb") {
            options.small_kb = std::stoi(value);
        } else if (name == "--velpic") {
            options.velpic = value;
        }
    }
    return options;
}

} // namespace

int main(int argc, char** argv) {
    const Options options = parse(argc, argv);
    std::string pattern = (fs::temp_directory_path() / "velpic-upload-bench-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr)
        return 1;
    const fs::path dir = pattern;

    // The server runs in a process of its own, started before this one holds anything: the bodies it receives
    // must not count in the measured children's memory.
    int fds[2];
    if (pipe(fds) != 0)
        return 1;
    const pid_t server = fork();
    if (server == 0) {
        close(fds[0]);
        serve(fds[1], dir);
    }
    close(fds[1]);
    int port = 0;
    if (read(fds[0], &port, sizeof port) != sizeof port || port <= 0) {
        std::cerr << "the local server did not start\n";
        return 1;
    }
    close(fds[0]);

    const Bench bench(options, dir, "http://127.0.0.1:" + std::to_string(port) + "/");
    const bool ok = compare_large_uploads(bench, options, dir) && compare_store_sizes(bench, options, dir);
    kill(server, SIGTERM);
    waitpid(server, nullptr, 0);
    std::error_code ignored;
    fs::remove_all(dir, ignored);
    return ok ? 0 : 1;
}
