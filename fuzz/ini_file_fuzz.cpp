// INI reading and writing: the parsed document and single lookups agree, a written value reads back, a refused
// write leaves the file as it was, and a write or delete changes no other value.
#include "fuzz_support.h"
#include "runtime/ini_file.h"

#include <fstream>
#include <iterator>
#include <utility>

using namespace velpic;
using velpic::fuzz::FuzzInput;

namespace {

const fuzz::ScratchDir scratch;

void put_file(const std::filesystem::path& file, std::string_view bytes) {
    std::ofstream(file, std::ios::binary | std::ios::trunc)
        .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string file_bytes(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

bool is_blank(char c) {
    return c == ' ' || (c >= 0x09 && c <= 0x0D);
}

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && is_blank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && is_blank(text.back()))
        text.remove_suffix(1);
    return text;
}

// A name as the profile functions compare it, close enough to decide which probes a write may touch: a probe
// that is skipped by mistake only weakens the check.
std::string comparable_name(std::string_view name) {
    while (!name.empty() && static_cast<unsigned char>(name.front()) <= 0x20)
        name.remove_prefix(1);
    return fuzz::ascii_folded(trimmed(name));
}

// What reading gives for a value that was written: cut at the first line break or NUL by the writer, trimmed,
// without a pair of surrounding quotes, at most one byte less than the read buffer.
std::string expected_read_back(std::string_view value) {
    value = value.substr(0, value.find_first_of(std::string_view("\r\n\0", 3)));
    value = trimmed(value);
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front())
        value = value.substr(1, value.size() - 2);
    return std::string(value.substr(0, kIniReadBufferSize - 1));
}

// Candidate keys: the text before "=" on each line. Sections come from the document itself.
std::vector<std::string> probe_keys(std::string_view bytes) {
    std::vector<std::string> keys;
    std::size_t pos = 0;
    while (pos < bytes.size() && keys.size() < 12) {
        std::size_t end = bytes.find_first_of("\r\n", pos);
        if (end == std::string_view::npos)
            end = bytes.size();
        std::string_view line = bytes.substr(pos, end - pos);
        if (std::size_t equals = line.find('='); equals != std::string_view::npos && equals > 0)
            keys.emplace_back(line.substr(0, std::min<std::size_t>(equals, 64)));
        pos = end + 1;
    }
    return keys;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > 4096)
        return 0;
    FuzzInput input(data, size);
    const std::string_view before_bytes = input.field(0);
    const std::string section(input.field(1));
    const std::string key(input.field(2));
    const std::string value(input.field(3));
    const std::filesystem::path file = scratch.path() / "settings.ini";
    put_file(file, before_bytes);

    const IniDocument before = IniDocument::parse(std::string(before_bytes));
    std::vector<std::string> sections = before.section_names();
    if (sections.size() > 12)
        sections.resize(12);
    sections.push_back(section);
    std::vector<std::string> keys = probe_keys(before_bytes);
    keys.push_back(key);

    // One parse for many values answers as one lookup per value does.
    FUZZ_CHECK(before.value(section, key, "dflt") == read_ini_value(file, section, key, "dflt"));
    // Names are looked up as the profile functions take them, without leading control bytes.
    for (const std::string& listed : before.section_names())
        if (static_cast<unsigned char>(listed.front()) > 0x20)
            FUZZ_CHECK(before.has_section(listed));

    const unsigned operation = input.selector() % 3;
    bool ok = false;
    if (operation == 0)
        ok = write_ini_value(file, section, key, value);
    else if (operation == 1)
        ok = delete_ini_key(file, section, key);
    else
        ok = delete_ini_section(file, section);

    const std::string after_bytes = file_bytes(file);
    if (!ok) {
        FUZZ_CHECK(after_bytes == before_bytes); // a refused write touches nothing
        return 0;
    }
    const IniDocument after = IniDocument::parse(after_bytes);
    if (operation == 0)
        FUZZ_CHECK(after.value(section, key, "dflt") == expected_read_back(value));
    if (operation == 2)
        FUZZ_CHECK(!after.has_section(section));

    // Every other value stays as it was.
    const std::string target_section = comparable_name(section);
    const std::string target_key = comparable_name(key);
    for (const std::string& probe_section : sections) {
        const bool same_section = comparable_name(probe_section) == target_section;
        if (same_section && operation == 2)
            continue;
        for (const std::string& probe_key : keys) {
            if (same_section && comparable_name(probe_key) == target_key)
                continue;
            FUZZ_CHECK(before.value(probe_section, probe_key, "dflt") == after.value(probe_section, probe_key, "dflt"));
        }
    }
    return 0;
}
