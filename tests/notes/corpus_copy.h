// The note corpora of tests/notes/corpus, copied into a test's own folder with their placeholders filled in:
// {{DIR}} the folder the notes were copied to, {{REPO}} the raw-file prefix of the test repository.
#pragma once

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

namespace velpic::test {

inline std::string file_bytes(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

inline void write_bytes(const std::filesystem::path& file, const std::string& bytes) {
    std::filesystem::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary) << bytes;
}

inline std::string filled(std::string text, const std::map<std::string, std::string>& values) {
    for (const auto& [name, value] : values) {
        for (std::size_t at = text.find(name); at != std::string::npos; at = text.find(name, at + value.size()))
            text.replace(at, name.size(), value);
    }
    return text;
}

// Relative path -> bytes of every file below folder, placeholders filled in.
inline std::map<std::string, std::string> tree(const std::filesystem::path& folder,
                                               const std::map<std::string, std::string>& values) {
    std::map<std::string, std::string> files;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder)) {
        if (entry.is_regular_file())
            files[entry.path().lexically_relative(folder).string()] = filled(file_bytes(entry.path()), values);
    }
    return files;
}

inline void write_tree(const std::filesystem::path& folder, const std::map<std::string, std::string>& files) {
    for (const auto& [name, bytes] : files)
        write_bytes(folder / name, bytes);
}

inline std::filesystem::path corpus(const std::string& name) {
    return std::filesystem::path(VELPIC_NOTES_CORPUS) / name;
}

} // namespace velpic::test
