#include "notes/settled_notes.h"

#include "runtime/hex_text.h"
#include "runtime/program_build.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sys/stat.h>

namespace velpic {
namespace {

std::string read_text(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string hex_of(const SettledNotes::Key& key) {
    return lower_hex(std::string_view(reinterpret_cast<const char*>(key.data()), key.size()));
}

TEST(SettledNotes, RemembersForTheSameBuildAndContextOnlyAndSkipsWhatItCannotRead) {
    ASSERT_FALSE(program_build_id().empty()) << "the executable carries no build ID: nothing would be remembered";
    test::TempDir dir;
    const std::filesystem::path file = settled_notes_path(dir.path());
    const SettledNotes::LeftAlone remote{{"remote pictures without --remote", 2}};
    {
        SettledNotes memory(file, "publish a");
        ASSERT_TRUE(memory.enabled());
        EXPECT_TRUE(memory.save());
        EXPECT_FALSE(std::filesystem::exists(file)) << "nothing learned, nothing written";
        memory.keep(memory.key_of("note one"), remote);
        memory.keep(memory.key_of("note two"), {});
        ASSERT_TRUE(memory.save());
    }
    struct stat status {};
    ASSERT_EQ(::stat(file.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0600u);

    {
        SettledNotes memory(file, "publish a");
        ASSERT_NE(memory.find(memory.key_of("note one")), nullptr);
        EXPECT_EQ(*memory.find(memory.key_of("note one")), remote);
        EXPECT_EQ(*memory.find(memory.key_of("note two")), SettledNotes::LeftAlone{});
        EXPECT_EQ(memory.find(memory.key_of("note one, edited")), nullptr);
        // The same bytes under other options or another repository are another matter.
        SettledNotes other(file, "publish b");
        EXPECT_EQ(other.find(other.key_of("note one")), nullptr);
    }

    // A file changed by hand or by damage: lines that are not entries are skipped, the others still count.
    const std::string heading = read_text(file).substr(0, read_text(file).find('\n') + 1);
    SettledNotes::Key kept;
    {
        SettledNotes memory(file, "publish a");
        kept = memory.key_of("note one");
    }
    const std::string good = hex_of(kept) + "\t3 links to files that are no pictures\n";
    for (const std::string& damaged : {
             std::string("not hex at all, not hex at all!!\n"),
             hex_of(kept).substr(0, 31) + "\n",
             hex_of(kept) + "\t0 nothing\n",
             hex_of(kept) + "\t2 why\x01\n",
             hex_of(kept) + "\t2\n",
             hex_of(kept) + " trailing\n",
         }) {
        std::ofstream(file, std::ios::binary | std::ios::trunc) << heading << damaged << good;
        SettledNotes memory(file, "publish a");
        ASSERT_NE(memory.find(kept), nullptr) << damaged;
        EXPECT_EQ(*memory.find(kept), (SettledNotes::LeftAlone{{"links to files that are no pictures", 3}}))
            << damaged;
    }

    // What another build found is not trusted, and the next save starts the file over.
    std::ofstream(file, std::ios::binary | std::ios::trunc) << "velpic settled notes 1 00ff\n" << good;
    SettledNotes memory(file, "publish a");
    EXPECT_EQ(memory.find(kept), nullptr);
    memory.keep(memory.key_of("note three"), {});
    ASSERT_TRUE(memory.save());
    EXPECT_EQ(read_text(file), heading + hex_of(memory.key_of("note three")) + "\n");
}

} // namespace
} // namespace velpic
