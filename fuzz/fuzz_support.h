// Shared by the fuzz harnesses: a property check that stops the run, the split of one input into several texts,
// and a scratch directory for harnesses that go through files.
#pragma once

#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <unistd.h>
#include <vector>

// A broken property is a finding like a crash: libFuzzer saves the input, the corpus replay fails.
#define FUZZ_CHECK(condition)                                                                                          \
    do {                                                                                                               \
        if (!(condition)) {                                                                                            \
            std::fprintf(stderr, "%s:%d: property does not hold: %s\n", __FILE__, __LINE__, #condition);               \
            std::abort();                                                                                              \
        }                                                                                                              \
    } while (0)

namespace velpic::fuzz {

// One input as a selector byte and texts separated by 0x01, a byte none of the parsers gives a meaning; missing
// texts are empty, so every input is usable.
class FuzzInput {
public:
    FuzzInput(const std::uint8_t* data, std::size_t size) {
        std::string_view rest(reinterpret_cast<const char*>(data), size);
        if (!rest.empty()) {
            selector_ = static_cast<unsigned char>(rest.front());
            rest.remove_prefix(1);
        }
        for (;;) {
            std::size_t cut = rest.find('\x01');
            fields_.emplace_back(rest.substr(0, cut));
            if (cut == std::string_view::npos)
                break;
            rest.remove_prefix(cut + 1);
        }
    }

    unsigned selector() const { return selector_; }
    bool flag(int bit) const { return (selector_ >> bit) & 1u; }
    std::string_view field(std::size_t index) const {
        return index < fields_.size() ? fields_[index] : std::string_view();
    }
    // A small number read from the first bytes of a field (for positions and counts), -8 .. 247.
    long number(std::size_t index) const {
        std::string_view text = field(index);
        return text.empty() ? 1 : static_cast<long>(static_cast<unsigned char>(text.front())) - 8;
    }

private:
    unsigned selector_ = 0;
    std::vector<std::string_view> fields_;
};

// Lead byte 0x81-0xFE followed by a trail byte 0x40-0x7E or 0x80-0xFE: the shape of a GBK pair.
inline bool is_gbk_pair(std::string_view text, std::size_t i) {
    if (i + 1 >= text.size())
        return false;
    auto lead = static_cast<unsigned char>(text[i]);
    auto trail = static_cast<unsigned char>(text[i + 1]);
    return lead >= 0x81 && lead <= 0xFE && ((trail >= 0x40 && trail <= 0x7E) || (trail >= 0x80 && trail <= 0xFE));
}

// Every byte from 0x81 up is the lead of a pair: the texts the program itself makes.
inline bool is_well_formed_gbk(std::string_view text) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (static_cast<unsigned char>(text[i]) < 0x81)
            continue;
        if (!is_gbk_pair(text, i))
            return false;
        ++i;
    }
    return true;
}

inline std::string ascii_folded(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return out;
}

// A directory of this process for files a harness writes, removed when the process ends normally.
class ScratchDir {
public:
    ScratchDir() {
        std::filesystem::path base = std::filesystem::exists("/dev/shm") ? std::filesystem::path("/dev/shm")
                                                                         : std::filesystem::temp_directory_path();
        path_ = base / ("velpic-fuzz-" + std::to_string(::getpid()));
        remove_left_by_dead_runs(base);
        std::filesystem::create_directories(path_);
    }
    ~ScratchDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    const std::filesystem::path& path() const { return path_; }

    // The file of that name in the directory, holding bytes and nothing else.
    std::filesystem::path write(const std::string& name, std::string_view bytes) const {
        const std::filesystem::path file = path_ / name;
        std::ofstream(file, std::ios::binary | std::ios::trunc)
            .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        return file;
    }

private:
    // A run that stops on a finding aborts without removing its directory; fork mode leaves one per finding.
    static void remove_left_by_dead_runs(const std::filesystem::path& base) {
        std::error_code error;
        for (const auto& entry : std::filesystem::directory_iterator(base, error)) {
            const std::string name = entry.path().filename().string();
            if (!name.starts_with("velpic-fuzz-"))
                continue;
            const long pid = std::strtol(name.c_str() + 12, nullptr, 10);
            if (pid > 0 && ::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH)
                std::filesystem::remove_all(entry.path(), error);
        }
    }

    std::filesystem::path path_;
};

} // namespace velpic::fuzz
