#include "runtime/program_build.h"

#include <cstring>

#include <elf.h>
#include <link.h>

namespace velpic {

namespace {

// The GNU build ID among the notes of one PT_NOTE segment; empty when none.
std::string build_id_in(const char* at, std::size_t size, std::size_t align) {
    const auto padded = [align](std::size_t n) { return (n + align - 1) & ~(align - 1); };
    while (size >= sizeof(ElfW(Nhdr))) {
        ElfW(Nhdr) header;
        std::memcpy(&header, at, sizeof header);
        const std::size_t name_size = padded(header.n_namesz);
        const std::size_t total = sizeof header + name_size + padded(header.n_descsz);
        if (name_size > size || total > size)
            break;
        if (header.n_type == NT_GNU_BUILD_ID && header.n_namesz == 4 &&
            std::memcmp(at + sizeof header, "GNU", 4) == 0)
            return std::string(at + sizeof header + name_size, header.n_descsz);
        at += total;
        size -= total;
    }
    return {};
}

int find_in_program(dl_phdr_info* info, std::size_t, void* found) {
    for (ElfW(Half) i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr)& segment = info->dlpi_phdr[i];
        if (segment.p_type != PT_NOTE)
            continue;
        const std::size_t align = segment.p_align == 8 ? 8 : 4;
        std::string id = build_id_in(reinterpret_cast<const char*>(info->dlpi_addr + segment.p_vaddr),
                                     segment.p_memsz, align);
        if (!id.empty()) {
            *static_cast<std::string*>(found) = std::move(id);
            break;
        }
    }
    return 1; // the first object listed is the executable itself; the libraries are not asked
}

} // namespace

const std::string& program_build_id() {
    static const std::string id = [] {
        std::string found;
        ::dl_iterate_phdr(find_in_program, &found);
        return found;
    }();
    return id;
}

} // namespace velpic
