// The records page against `velpic records` over the same record file of many records: how long the page takes to
// show its first rows after its tab is chosen, against the command's whole listing (target: at most 3×), and how
// much the program's memory grows meanwhile, against the record file's size (target: at most 2×). Twice: on a first
// visit, when no link status is remembered and a check of every link starts, and on a later one, when every status
// is remembered and nothing is checked. The addresses point at a closed local port: no request leaves the machine.
//
//   records_page_ratio [--records N] [--rounds N]     (each visit runs in a process of its own)
#include "app/ui/dialogs.h"
#include "app/ui/main_window.h"
#include "records/link_status_memory.h"
#include "runtime/program_dir.h"
#include "settings/app_state.h"
#include "settings/settings_store.h"

#include "process_usage.h"

#include <QAbstractItemModel>
#include <QApplication>
#include <QTabWidget>
#include <QTreeView>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <system_error>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// Resident and peak resident memory of this process, in KiB, from /proc/self/status.
long status_kb(const char* field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind(field, 0) == 0)
            return std::strtol(line.c_str() + std::strlen(field), nullptr, 10);
    return -1;
}

// Starts counting the peak afresh (Linux 4.0 on); false when the kernel does not allow it.
bool reset_peak() {
    std::ofstream clear("/proc/self/clear_refs");
    clear << "5";
    return static_cast<bool>(clear.flush());
}

std::string digest_of(int i) {
    char digest[33];
    std::snprintf(digest, sizeof digest, "%032x", static_cast<unsigned>(i) * 2654435761u);
    return digest;
}

// The record file a user with years of uploads has, and (remembered) a status file with every link fresh.
std::uintmax_t write_store(const std::filesystem::path& dir, int records, bool remembered) {
    std::string bytes;
    bytes.reserve(static_cast<std::size_t>(records) * 200);
    velpic::LinkStatusMemory memory;
    for (int i = 0; i < records; ++i) {
        const std::string digest = digest_of(i);
        const std::string address = "http://127.0.0.1:9/owner/pictures/raw/master/" + digest + ".png";
        bytes.append("[").append(digest).append("]\r\nImgMd5=").append(digest);
        bytes.append("\r\nImgType=.png\r\nImgUploadTime=1700000000123\r\nImgUrl=").append(address).append("\r\n");
        if (remembered)
            memory.remember(digest, address, velpic::LinkStatus::valid, velpic::unix_now());
    }
    const std::filesystem::path file = dir / "本地记录.ini";
    std::ofstream(file, std::ios::binary) << bytes;
    std::error_code ignored;
    std::filesystem::remove(velpic::link_status_file_path(dir), ignored);
    if (remembered)
        memory.save(velpic::link_status_file_path(dir));
    return std::filesystem::file_size(file);
}

struct PageVisit {
    double seconds = 0;
    long grown_kb = 0;      // resident memory once the first rows are painted, less before the click
    long peak_grown_kb = 0; // the peak meanwhile, less before the click
    int rows = 0;
};

PageVisit visit_page() {
    velpic::AppState state;
    velpic::MainWindow window(state, velpic::SettingsStore(velpic::settings_file_path()));
    window.show();
    QApplication::processEvents();
    auto* tabs = window.findChild<QTabWidget*>(QStringLiteral("高级选择夹1"));
    auto* list = window.findChild<QTreeView*>(QStringLiteral("超级列表框1"));
    PageVisit visit;
    if (tabs == nullptr || list == nullptr)
        return visit;
    const long before = status_kb("VmRSS:");
    reset_peak();
    const Clock::time_point start = Clock::now();
    tabs->setCurrentIndex(2);
    list->viewport()->repaint(); // the first rows drawn
    QApplication::processEvents();
    visit.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    visit.grown_kb = status_kb("VmRSS:") - before;
    visit.peak_grown_kb = status_kb("VmHWM:") - before;
    visit.rows = list->model()->rowCount();
    return visit;
}

// One visit in a process of its own (--visit), so that no earlier visit's freed memory is reused: prints
// "seconds grown_kb peak_grown_kb rows".
int run_visit(const std::filesystem::path& dir) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    int app_argc = 1;
    char name[] = "records_page_ratio";
    char* app_argv[] = {name, nullptr};
    QApplication app(app_argc, app_argv);
    velpic::set_program_dir(dir);
    const PageVisit visit = visit_page();
    std::printf("%.6f %ld %ld %d\n", visit.seconds, visit.grown_kb, visit.peak_grown_kb, visit.rows);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    int records = 100000, rounds = 3;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--visit") == 0)
            return run_visit(argv[i + 1]);
        if (std::strcmp(argv[i], "--records") == 0)
            records = std::atoi(argv[i + 1]);
        else if (std::strcmp(argv[i], "--rounds") == 0)
            rounds = std::max(1, std::atoi(argv[i + 1]));
    }
    std::string pattern = (std::filesystem::temp_directory_path() / "velpic-page-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr)
        return 1;
    const std::filesystem::path dir = pattern;
    const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
    const std::string report = (dir / "visit.txt").string();

    std::vector<double> command_times;
    write_store(dir, records, false);
    for (int round = 0; round < rounds; ++round) {
        const bench::ChildUsage usage = bench::run_measured({VELPIC_PROGRAM, "--data-dir", dir.string(), "records"});
        if (usage.exit_status != 0) {
            std::cerr << "velpic records failed: " << usage.exit_status << "\n";
            return 1;
        }
        command_times.push_back(usage.wall_seconds);
    }
    const double command = bench::median(command_times);
    std::printf("velpic records, %d records: %.3f s\n", records, command);

    int worst = 0;
    for (const bool remembered : {false, true}) {
        std::vector<double> times, grown, peaks;
        std::uintmax_t file_size = 0;
        for (int round = 0; round < rounds; ++round) {
            file_size = write_store(dir, records, remembered);
            const bench::ChildUsage usage = bench::run_measured({self, "--visit", dir.string()}, {}, report);
            PageVisit visit;
            std::ifstream in(report);
            in >> visit.seconds >> visit.grown_kb >> visit.peak_grown_kb >> visit.rows;
            if (usage.exit_status != 0 || visit.rows != records) {
                std::cerr << "the page showed " << visit.rows << " rows (" << usage.exit_status << ")\n";
                return 1;
            }
            times.push_back(visit.seconds);
            grown.push_back(static_cast<double>(visit.grown_kb));
            peaks.push_back(static_cast<double>(visit.peak_grown_kb));
        }
        const double page = bench::median(times);
        const double file_kb = static_cast<double>(file_size) / 1024.0;
        const double time_ratio = page / command;
        const double memory_ratio = bench::median(grown) / file_kb;
        std::printf("%s visit: first rows %.3f s = %.2fx the command (target <= 3); memory +%.0f KiB, peak +%.0f KiB "
                    "= %.2fx / %.2fx the %.0f KiB record file (target <= 2)\n",
                    remembered ? "later" : "first", page, time_ratio, bench::median(grown), bench::median(peaks),
                    memory_ratio, bench::median(peaks) / file_kb, file_kb);
        worst = std::max(worst, (time_ratio > 3 ? 1 : 0) | (memory_ratio > 2 ? 1 : 0));
    }
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
    return worst;
}
