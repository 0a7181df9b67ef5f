// The link-status file over damaged or hand-edited contents: a file read whole is written back to the same links,
// a damaged one hands out nothing, and whatever a check found and remember() took is found again after a save and
// a load, at any time the check may carry.
#include "fuzz_support.h"
#include "records/link_status_memory.h"

#include <cstring>

using namespace velpic;
using velpic::fuzz::FuzzInput;

namespace {

const fuzz::ScratchDir scratch;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > 8192)
        return 0;
    FuzzInput input(data, size);
    const std::filesystem::path file = scratch.write("links.txt", input.field(0));

    const LinkStatusMemory loaded = LinkStatusMemory::load(file);
    std::size_t visited = 0;
    const bool read_whole = LinkStatusMemory::visit(
        file, [&](std::string_view digest, std::string_view address, const RememberedLink& link) {
            ++visited;
            const RememberedLink* found = loaded.find(digest, address);
            FUZZ_CHECK(found != nullptr && found->checked_at >= link.checked_at);
        });
    FUZZ_CHECK(read_whole == !loaded.damaged());
    FUZZ_CHECK(read_whole || (visited == 0 && loaded.size() == 0));

    // Written back, the file reads as the same links.
    if (!loaded.damaged()) {
        FUZZ_CHECK(loaded.save(file));
        const LinkStatusMemory again = LinkStatusMemory::load(file);
        FUZZ_CHECK(!again.damaged() && again.size() == loaded.size());
    }

    // A check's result, at a time of any size the clock can give.
    std::int64_t checked_at = 0;
    const std::string_view when = input.field(3);
    if (!when.empty())
        std::memcpy(&checked_at, when.data(), std::min(when.size(), sizeof checked_at));
    static const LinkStatus statuses[] = {LinkStatus::valid, LinkStatus::expired, LinkStatus::abnormal};
    const LinkStatus status = statuses[input.selector() % 3];
    LinkStatusMemory memory;
    memory.remember(input.field(1), input.field(2), status, checked_at);
    if (memory.size() == 0)
        return 0;
    scratch.write("links.txt", "");
    FUZZ_CHECK(memory.save(file));
    const LinkStatusMemory saved = LinkStatusMemory::load(file);
    FUZZ_CHECK(!saved.damaged());
    const RememberedLink* found = saved.find(input.field(1), input.field(2));
    FUZZ_CHECK(found != nullptr && found->status == status && found->checked_at == checked_at);
    return 0;
}
