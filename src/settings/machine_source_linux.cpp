#include "settings/machine_code.h"

#include <algorithm>
#include <charconv>
#include <climits>
#include <fstream>
#include <system_error>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif

namespace velpic {
namespace {

constexpr int kLoopbackType = 772;   // ARPHRD_LOOPBACK
constexpr int kPermanentAddress = 0; // NET_ADDR_PERM; random (1), stolen (2) and set (3) addresses change

struct Adapter {
    long index = LONG_MAX;
    std::string name;
    MacAddress mac{};
    bool has_device = false;
    bool permanent = false;
    bool loopback = false;
};

bool read_first_line(const std::filesystem::path& file, std::string& line) {
    std::ifstream in(file);
    return in && std::getline(in, line);
}

bool read_number(const std::filesystem::path& file, long& value) {
    std::string line;
    if (!read_first_line(file, line))
        return false;
    const char* end = line.data() + line.size();
    return std::from_chars(line.data(), end, value).ec == std::errc();
}

// "08:00:27:5c:9e:4f"; other lengths (InfiniBand, tunnels) are not hardware addresses of the kind wanted.
bool parse_mac(const std::string& text, MacAddress& mac) {
    unsigned bytes[6];
    char tail;
    if (std::sscanf(text.c_str(), "%2x:%2x:%2x:%2x:%2x:%2x%c", &bytes[0], &bytes[1], &bytes[2], &bytes[3], &bytes[4],
                    &bytes[5], &tail) != 6)
        return false;
    for (int i = 0; i < 6; ++i)
        mac[i] = static_cast<std::uint8_t>(bytes[i]);
    return true;
}

std::vector<Adapter> read_adapters(const std::filesystem::path& net_dir) {
    std::vector<Adapter> adapters;
    std::error_code ec;
    for (std::filesystem::directory_iterator it(net_dir, ec), end; !ec && it != end; it.increment(ec)) {
        const auto dir = it->path();
        Adapter adapter;
        adapter.name = dir.filename().string();
        std::string address;
        if (!read_first_line(dir / "address", address) || !parse_mac(address, adapter.mac))
            continue;
        read_number(dir / "ifindex", adapter.index);
        long value = 0;
        adapter.permanent = read_number(dir / "addr_assign_type", value) && value == kPermanentAddress;
        adapter.loopback = (read_number(dir / "type", value) && value == kLoopbackType) || adapter.name == "lo";
        adapter.has_device = std::filesystem::exists(dir / "device", ec);
        ec.clear();
        adapters.push_back(adapter);
    }
    std::sort(adapters.begin(), adapters.end(), [](const Adapter& a, const Adapter& b) {
        return a.index != b.index ? a.index < b.index : a.name < b.name;
    });
    return adapters;
}

class LinuxMachineSource : public MachineSource {
public:
    explicit LinuxMachineSource(std::filesystem::path sys_root) : sys_root_(std::move(sys_root)) {}

    // Adapters with a permanent address only, so that bridges, tunnels and containers' virtual adapters with
    // random addresses (which change at every boot) never decide the code: those backed by a device first,
    // then the others, each in interface-index order.
    std::vector<MacAddress> adapter_addresses() const override {
        const auto adapters = read_adapters(sys_root_ / "class" / "net");
        std::vector<MacAddress> physical;
        std::vector<MacAddress> other;
        for (const Adapter& adapter : adapters) {
            const bool zero = std::all_of(adapter.mac.begin(), adapter.mac.end(), [](auto b) { return b == 0; });
            if (!adapter.permanent || adapter.loopback || zero)
                continue;
            (adapter.has_device ? physical : other).push_back(adapter.mac);
        }
        physical.insert(physical.end(), other.begin(), other.end());
        return physical;
    }

    CpuidWords processor_words() const override {
        CpuidWords words;
#if defined(__x86_64__) || defined(__i386__)
        unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
        __cpuid(1, eax, ebx, ecx, edx);
        words.leaf1_edx = edx;
        words.leaf1_eax = eax;
        __cpuid(3, eax, ebx, ecx, edx);
        words.leaf3_edx = edx;
        words.leaf3_ecx = ecx;
#endif
        // Without the instruction the words stay 0: the code then rests on the adapter address alone.
        return words;
    }

private:
    std::filesystem::path sys_root_;
};

} // namespace

std::unique_ptr<MachineSource> system_machine_source(const std::filesystem::path& sys_root) {
    return std::make_unique<LinuxMachineSource>(sys_root);
}

} // namespace velpic
