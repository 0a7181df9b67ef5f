// The memory of settled notes over damaged or hand-edited contents: loading never fails in a way that matters (an
// entry it cannot read is only not known), and what a run keeps is found again after a save and a load, beside
// whatever the file held.
#include "fuzz_support.h"
#include "notes/settled_notes.h"
#include "runtime/hex_text.h"
#include "runtime/program_build.h"

#include <algorithm>

using namespace velpic;
using velpic::fuzz::FuzzInput;

namespace {

const fuzz::ScratchDir scratch;

// The first line this build writes, so that most inputs reach the entries.
std::string heading() {
    return "velpic settled notes 1 " + lower_hex(program_build_id()) + "\n";
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > 8192)
        return 0;
    FuzzInput input(data, size);
    const std::filesystem::path file =
        scratch.write("settled.txt", (input.flag(0) ? std::string() : heading()) + std::string(input.field(0)));

    SettledNotes memory(file, input.field(1));
    FUZZ_CHECK(memory.enabled());
    // What the run found: a note, and what it left alone (only readable reasons are stored, so only those asked).
    const SettledNotes::Key key = memory.key_of(input.field(2));
    SettledNotes::LeftAlone left;
    const std::string_view why = input.field(3);
    const bool readable = !why.empty() && why.size() <= 80 &&
                          std::all_of(why.begin(), why.end(), [](char c) { return c >= 0x20 && c <= 0x7E && c != '\t'; });
    if (readable)
        left[std::string(why)] = static_cast<std::size_t>(input.number(4) & 0xFF) + 1;
    const SettledNotes::LeftAlone* known = memory.find(key);
    // A note the file knew already teaches nothing new, and the file is left as it was.
    const SettledNotes::LeftAlone expected = known != nullptr ? *known : left;
    memory.keep(key, known != nullptr ? *known : left);
    FUZZ_CHECK(memory.save());

    SettledNotes again(file, input.field(1));
    const SettledNotes::LeftAlone* found = again.find(key);
    FUZZ_CHECK(found != nullptr);
    FUZZ_CHECK(*found == expected);
    return 0;
}
