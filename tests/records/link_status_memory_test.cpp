#include "records/link_status_memory.h"
#include "runtime/codepage.h"
#include "runtime/files.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <fstream>
#include <limits>

using namespace velpic;

namespace {

void write_file(const std::filesystem::path& file, const std::string& bytes) {
    std::ofstream(file, std::ios::binary) << bytes;
}

} // namespace

TEST(LinkStatusMemory, WhatAChecksFoundIsKeptByDigestAndAddressAcrossSaves) {
    test::TempDir dir;
    const std::filesystem::path file = link_status_file_path(dir.path());
    EXPECT_EQ(file.filename(), std::filesystem::path(u8"链接状态.txt"));
    LinkStatusMemory memory = LinkStatusMemory::load(file); // none yet
    EXPECT_FALSE(memory.damaged());
    EXPECT_EQ(memory.size(), 0u);

    const std::string gbk_address = utf8_to_gbk("https://h.example/图/a.png");
    memory.remember("d1", gbk_address, LinkStatus::valid, 1000);
    memory.remember("d1", "https://h.example/b.png", LinkStatus::expired, 1001); // same picture, other address
    memory.remember("d2", "https://h.example/c.png", LinkStatus::abnormal, 1002);
    // Checks that found nothing out, and addresses that would break the file's lines, are not kept.
    memory.remember("d3", "https://h.example/d.png", LinkStatus::failed, 1003);
    memory.remember("d3", "https://h.example/d.png", LinkStatus::checking, 1003);
    memory.remember("d4", "https://h.example/e\n.png", LinkStatus::valid, 1004);
    memory.remember("d4\t", "https://h.example/e.png", LinkStatus::valid, 1004);
    // A failed check leaves what an earlier one found.
    memory.remember("d2", "https://h.example/c.png", LinkStatus::failed, 2000);
    ASSERT_TRUE(memory.save(file));

    const LinkStatusMemory loaded = LinkStatusMemory::load(file);
    EXPECT_FALSE(loaded.damaged());
    EXPECT_EQ(loaded.size(), 3u);
    ASSERT_NE(loaded.find("d1", gbk_address), nullptr);
    EXPECT_EQ(loaded.find("d1", gbk_address)->status, LinkStatus::valid);
    EXPECT_EQ(loaded.find("d1", gbk_address)->checked_at, 1000);
    EXPECT_EQ(loaded.find("d1", "https://h.example/b.png")->status, LinkStatus::expired);
    EXPECT_EQ(loaded.find("d2", "https://h.example/c.png")->status, LinkStatus::abnormal);
    EXPECT_EQ(loaded.find("d2", "https://h.example/c.png")->checked_at, 1002);
    EXPECT_EQ(loaded.find("d3", "https://h.example/d.png"), nullptr);
    EXPECT_EQ(loaded.find("d1", "https://h.example/c.png"), nullptr);

    // Another process saved meanwhile: the later check of a link wins, nothing of either is lost.
    LinkStatusMemory other = LinkStatusMemory::load(file);
    other.remember("d1", gbk_address, LinkStatus::expired, 3000);
    other.remember("d9", "https://h.example/z.png", LinkStatus::valid, 3000);
    ASSERT_TRUE(other.save(file));
    memory.remember("d2", "https://h.example/c.png", LinkStatus::valid, 2500);
    ASSERT_TRUE(memory.save(file)); // holds d1 as of 1000
    const LinkStatusMemory merged = LinkStatusMemory::load(file);
    EXPECT_EQ(merged.size(), 4u);
    EXPECT_EQ(merged.find("d1", gbk_address)->status, LinkStatus::expired);
    EXPECT_EQ(merged.find("d2", "https://h.example/c.png")->status, LinkStatus::valid);
    EXPECT_NE(merged.find("d9", "https://h.example/z.png"), nullptr);
}

TEST(LinkStatusMemory, ADamagedFileIsIgnoredAndReplacedByTheNextSave) {
    test::TempDir dir;
    const std::filesystem::path file = link_status_file_path(dir.path());
    const std::string good = "velpic link statuses 1\n1000\tvalid\td1\thttps://h.example/a.png\n";
    for (const std::string& bytes : {
             std::string("garbage"),
             std::string("velpic link statuses 2\n"),
             good + "1000\tvalid\td2\n",                       // too few fields
             good + "later\tvalid\td2\thttps://h.example/b\n", // not a time
             good + "1000\tgood\td2\thttps://h.example/b\n",   // not a status
             good + "1000\tvalid\td2\thttps://h.exa",          // cut off
             good.substr(0, good.size() - 1) + std::string("\0\n", 2),
         }) {
        write_file(file, bytes);
        int visited = 0;
        EXPECT_FALSE(LinkStatusMemory::visit(file, [&](auto, auto, const auto&) { ++visited; })) << bytes;
        EXPECT_EQ(visited, 0) << bytes; // not even the good lines before the damage
        LinkStatusMemory memory = LinkStatusMemory::load(file);
        EXPECT_TRUE(memory.damaged()) << bytes;
        EXPECT_EQ(memory.size(), 0u) << bytes;
        memory.remember("d5", "https://h.example/e.png", LinkStatus::valid, 5000);
        ASSERT_TRUE(memory.save(file));
        const LinkStatusMemory rewritten = LinkStatusMemory::load(file);
        EXPECT_FALSE(rewritten.damaged());
        EXPECT_EQ(rewritten.size(), 1u) << bytes;
    }
    write_file(file, good);
    EXPECT_EQ(LinkStatusMemory::load(file).size(), 1u);
    std::vector<std::string> seen;
    EXPECT_TRUE(LinkStatusMemory::visit(
        file, [&](std::string_view digest, std::string_view address, const RememberedLink& link) {
            seen.push_back(std::string(digest) + " " + std::string(address) + " " + std::to_string(link.checked_at));
        }));
    EXPECT_EQ(seen, std::vector<std::string>{"d1 https://h.example/a.png 1000"});
    std::filesystem::remove(file);
    EXPECT_TRUE(LinkStatusMemory::visit(file, {})); // none yet is not damage
    // A directory where the file should be cannot be read, and is not mistaken for an empty memory.
    std::filesystem::remove(file);
    std::filesystem::create_directory(file);
    EXPECT_TRUE(LinkStatusMemory::load(file).damaged());
}

TEST(LinkStatusMemory, OnlyRecentStatusesStandInForACheck) {
    const std::int64_t now = 1'700'000'000;
    const RememberedLink hour_old{LinkStatus::valid, now - 3600};
    const RememberedLink day_old{LinkStatus::expired, now - 24 * 3600 - 1};
    const RememberedLink future{LinkStatus::valid, now + 7200}; // the clock was set back since
    EXPECT_TRUE(is_fresh(&hour_old, now, 24));
    EXPECT_TRUE(is_fresh(&hour_old, now, 1));
    EXPECT_FALSE(is_fresh(&hour_old, now, 0));
    EXPECT_FALSE(is_fresh(&day_old, now, 24));
    EXPECT_TRUE(is_fresh(&day_old, now, 25));
    EXPECT_FALSE(is_fresh(&future, now, 24));
    EXPECT_FALSE(is_fresh(nullptr, now, 24));

    LinkStatusMemory memory;
    memory.remember("d1", "https://h.example/a.png", LinkStatus::valid, now - 60);
    memory.remember("d2", "https://h.example/b.png", LinkStatus::valid, now - 48 * 3600);
    const std::vector<LinkTarget> targets = {{"https://h.example/a.png", ".png", "d1"},
                                             {"https://h.example/b.png", ".png", "d2"},
                                             {"https://h.example/c.png", ".png", "d3"},
                                             {"https://h.example/a.png", ".png", "d9"}};
    EXPECT_EQ(links_to_check(targets, memory, now, 24), (std::vector<std::size_t>{1, 2, 3}));
    EXPECT_EQ(links_to_check(targets, memory, now, 0), (std::vector<std::size_t>{0, 1, 2, 3}));

    EXPECT_EQ(to_utf8(checked_ago_text(now - 30, now)), "刚刚检测");
    EXPECT_EQ(to_utf8(checked_ago_text(now + 30, now)), "刚刚检测");
    EXPECT_EQ(to_utf8(checked_ago_text(now - 5 * 60, now)), "5分钟前检测");
    EXPECT_EQ(to_utf8(checked_ago_text(now - 3 * 3600 - 59, now)), "3小时前检测");
    EXPECT_EQ(to_utf8(checked_ago_text(now - 49 * 3600, now)), "2天前检测");
}

TEST(LinkStatusMemory, ATimeOfNineteenDigitsIsReadAsWritten) {
    test::TempDir dir;
    const std::filesystem::path file = link_status_file_path(dir.path());
    LinkStatusMemory memory;
    memory.remember("d1", "https://h.example/a.png", LinkStatus::valid, 1000000000000000000);
    memory.remember("d2", "https://h.example/b.png", LinkStatus::expired, std::numeric_limits<std::int64_t>::max());
    ASSERT_TRUE(memory.save(file));
    const LinkStatusMemory loaded = LinkStatusMemory::load(file);
    EXPECT_FALSE(loaded.damaged());
    ASSERT_NE(loaded.find("d1", "https://h.example/a.png"), nullptr);
    EXPECT_EQ(loaded.find("d1", "https://h.example/a.png")->checked_at, 1000000000000000000);
    ASSERT_NE(loaded.find("d2", "https://h.example/b.png"), nullptr);
    EXPECT_EQ(loaded.find("d2", "https://h.example/b.png")->checked_at, std::numeric_limits<std::int64_t>::max());

    // One past the largest time cannot have been written: the file is damaged, not read as some other time.
    write_file(file, "velpic link statuses 1\n9223372036854775808\tvalid\td1\ta\n");
    EXPECT_TRUE(LinkStatusMemory::load(file).damaged());
}
