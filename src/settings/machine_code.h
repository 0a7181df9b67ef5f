// The machine code that tags this machine's rows in the shared record table. It must come out the same on
// every run and match codes already stored, so the derivation is fixed to the character.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace velpic {

using MacAddress = std::array<std::uint8_t, 6>;

// Words of the processor identification instruction.
struct CpuidWords {
    std::uint32_t leaf1_edx = 0;
    std::uint32_t leaf1_eax = 0;
    std::uint32_t leaf3_edx = 0;
    std::uint32_t leaf3_ecx = 0;
};

// Where the inputs come from; tests supply their own.
class MachineSource {
public:
    virtual ~MachineSource() = default;
    // Hardware addresses, the adapter that identifies the machine first.
    virtual std::vector<MacAddress> adapter_addresses() const = 0;
    virtual CpuidWords processor_words() const = 0;
};

// The machine's own adapters and processor. sys_root stands in for "/sys" (tests build a fake tree there).
std::unique_ptr<MachineSource> system_machine_source(const std::filesystem::path& sys_root = "/sys");

// "08-00-27-5C-9E-4F"
std::string format_mac_address(const MacAddress& mac);
// "%08X-%08X-%08X-%08X" of leaf 1 EDX, leaf 1 EAX, leaf 3 EDX, leaf 3 ECX.
std::string processor_serial_text(const CpuidWords& words);

// The digits-and-letter-positions code of a formatted address and processor text (28 digits for
// well-formed inputs).
std::string machine_code_from_texts(std::string_view mac_text, std::string_view processor_text);

// The first adapter's address (or "10-11-11-11-11-11" without one) and the processor's leaf 1 words.
std::string compute_machine_code(const MachineSource& source);
std::string compute_machine_code();

} // namespace velpic
