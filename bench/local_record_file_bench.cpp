// Reading every record of large local record files, as the record list does on each refresh.
#include "records/local_record_file.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

namespace {

class RecordFileFixture {
public:
    explicit RecordFileFixture(int records) {
        std::string pattern = (std::filesystem::temp_directory_path() / "velpic-bench-XXXXXX").string();
        if (mkdtemp(pattern.data()) != nullptr)
            dir_ = pattern;
        file_ = dir_ / "本地记录.ini";
        std::string bytes;
        bytes.reserve(static_cast<std::size_t>(records) * 190);
        char digest[33];
        for (int i = 0; i < records; ++i) {
            std::snprintf(digest, sizeof digest, "%032x", static_cast<unsigned>(i) * 2654435761u);
            bytes.append("[").append(digest).append("]\r\nImgMd5=").append(digest);
            bytes.append(
                "\r\nImgType=.png\r\nImgUploadTime=1700000000123\r\nImgUrl=https://gitee.com/owner/repo/raw/master/");
            bytes.append(digest).append(".png\r\n");
        }
        if (std::FILE* out = std::fopen(file_.c_str(), "wb")) {
            std::fwrite(bytes.data(), 1, bytes.size(), out);
            std::fclose(out);
        }
    }
    ~RecordFileFixture() {
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }
    const std::filesystem::path& file() const { return file_; }

private:
    std::filesystem::path dir_;
    std::filesystem::path file_;
};

void BM_ReadAllLocalRecords(benchmark::State& state) {
    const int records = static_cast<int>(state.range(0));
    RecordFileFixture fixture(records);
    std::size_t read = 0;
    for (auto _ : state) {
        auto all = velpic::read_all_local_records(fixture.file());
        read = all.size();
        benchmark::DoNotOptimize(all.data());
    }
    if (read != static_cast<std::size_t>(records))
        state.SkipWithError("the record file did not read back completely");
    state.SetItemsProcessed(state.iterations() * records);
    state.counters["records"] = static_cast<double>(read);
}
BENCHMARK(BM_ReadAllLocalRecords)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);

// A different digest each time, as uploads ask: after the first readings the process answers from its index.
void BM_FindLocalRecord(benchmark::State& state) {
    const int records = static_cast<int>(state.range(0));
    RecordFileFixture fixture(records);
    unsigned counter = 0;
    char digest[33];
    for (auto _ : state) {
        std::snprintf(digest, sizeof digest, "%032x", ++counter);
        benchmark::DoNotOptimize(velpic::find_local_record(fixture.file(), digest));
    }
}
BENCHMARK(BM_FindLocalRecord)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);

} // namespace
