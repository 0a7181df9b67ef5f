#include "settings/machine_code.h"

#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <fstream>

using namespace velpic;

namespace {

class FixedSource : public MachineSource {
public:
    std::vector<MacAddress> adapters;
    CpuidWords words;
    std::vector<MacAddress> adapter_addresses() const override { return adapters; }
    CpuidWords processor_words() const override { return words; }
};

const CpuidWords kExampleWords{0x0F8BFBFF, 0x000906EA, 0x12345678, 0x9ABCDEF0};

// One adapter directory of a fake /sys/class/net.
void add_adapter(const std::filesystem::path& sys, const std::string& name, int index, const std::string& address,
                 int assign_type, bool device, int type = 1) {
    const auto dir = sys / "class" / "net" / name;
    std::filesystem::create_directories(dir);
    std::ofstream(dir / "ifindex") << index << "\n";
    std::ofstream(dir / "address") << address << "\n";
    std::ofstream(dir / "addr_assign_type") << assign_type << "\n";
    std::ofstream(dir / "type") << type << "\n";
    if (device)
        std::filesystem::create_directories(dir / "device");
}

std::string first_adapter(const std::filesystem::path& sys) {
    const auto addresses = system_machine_source(sys)->adapter_addresses();
    return addresses.empty() ? std::string() : format_mac_address(addresses.front());
}

} // namespace

TEST(MachineCode, WorkedExamples) {
    FixedSource source;
    source.words = kExampleWords;
    EXPECT_EQ(processor_serial_text(kExampleWords), "0F8BFBFF-000906EA-12345678-9ABCDEF0");
    EXPECT_EQ(compute_machine_code(source), "1011111111110800090662626651");

    source.adapters = {{0x08, 0x00, 0x27, 0x5C, 0x9E, 0x4F}, {0x11, 0x22, 0x33, 0x44, 0x55, 0x66}};
    EXPECT_EQ(format_mac_address(source.adapters[0]), "08-00-27-5C-9E-4F");
    EXPECT_EQ(compute_machine_code(source), "0800275940800090635662626651");

    // Leaf 3 does not reach the code.
    source.words.leaf3_edx = 0;
    source.words.leaf3_ecx = 0xFFFFFFFF;
    EXPECT_EQ(compute_machine_code(source), "0800275940800090635662626651");
    // The derivation on texts: lower-case letters vanish, other characters are kept as they are.
    EXPECT_EQ(machine_code_from_texts("ab-Z1", "Z"), "12626");
}

TEST(MachineCode, LinuxSourcePrefersDeviceBackedPermanentAdapters) {
    test::TempDir sys;
    add_adapter(sys.path(), "lo", 1, "00:00:00:00:00:00", 0, false, 772);
    add_adapter(sys.path(), "ifb0", 2, "1e:f9:05:77:45:b4", 1, false);
    add_adapter(sys.path(), "docker0", 3, "02:42:ac:11:00:01", 3, false);
    add_adapter(sys.path(), "tap0", 4, "52:54:00:12:34:56", 0, false);
    add_adapter(sys.path(), "wlan0", 5, "da:a1:19:00:00:01", 1, true);
    EXPECT_EQ(first_adapter(sys.path()), "52-54-00-12-34-56"); // no permanent device-backed adapter yet

    add_adapter(sys.path(), "eth0", 6, "08:00:27:5c:9e:4f", 0, true);
    EXPECT_EQ(first_adapter(sys.path()), "08-00-27-5C-9E-4F");
    const auto addresses = system_machine_source(sys.path())->adapter_addresses();
    EXPECT_EQ(addresses.size(), 2u); // eth0 and tap0; random, set and loopback addresses are never listed

    // Interface-index order, not name order, decides between two physical adapters.
    add_adapter(sys.path(), "enp9s0", 3, "00:1b:21:aa:bb:cc", 0, true);
    EXPECT_EQ(first_adapter(sys.path()), "00-1B-21-AA-BB-CC");
}

TEST(MachineCode, LinuxSourceWithoutUsableAdaptersFallsBack) {
    test::TempDir sys;
    add_adapter(sys.path(), "lo", 1, "00:00:00:00:00:00", 0, false, 772);
    add_adapter(sys.path(), "ifb0", 2, "1e:f9:05:77:45:b4", 1, false);
    add_adapter(sys.path(), "ib0", 3, "80:00:00:48:fe:80:00:00:00:00:00:00:00:02:c9:03:00:0e:a7:d1", 0, true, 32);
    EXPECT_EQ(first_adapter(sys.path()), "");
    EXPECT_EQ(first_adapter(sys.path() / "missing"), "");
}

TEST(MachineCode, ThisMachineGivesAStableCode) {
    const std::string code = compute_machine_code();
    EXPECT_EQ(code.size(), 28u);
    EXPECT_EQ(code.find_first_not_of("0123456789"), std::string::npos);
    EXPECT_EQ(compute_machine_code(), code);
}
