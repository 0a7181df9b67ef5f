#include "records/local_record_file.h"

#include "runtime/files.h"
#include "runtime/ini_file.h"
#include "runtime/program_dir.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <random>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace velpic {
namespace {

using Names = std::vector<std::string>;

void put(const std::filesystem::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

Names listed(const std::filesystem::path& path) {
    Names names;
    list_ini_sections(path, names);
    return names;
}

// A record as an upload writes it: the address names the digest's file; who tells writers apart.
UploadRecord record(const std::string& digest, const std::string& who = "o") {
    return UploadRecord{digest, "1700000000123", "", "https://gitee.com/" + who + "/r/raw/master/" + digest + ".png",
                        ".png"};
}

std::string section_bytes(const UploadRecord& r, const std::string& eol = "\r\n") {
    return "[" + r.ImgMd5 + "]" + eol + "ImgMd5=" + r.ImgMd5 + eol + "ImgType=" + r.ImgType + eol +
           "ImgUploadTime=" + r.ImgUploadTime + eol + "ImgUrl=" + r.ImgUrl + eol;
}

// The full INI reading that the header scan must agree with: list_ini_sections for the names, the parsed
// document (the profile functions' rules) for the values.
UploadRecord document_record(const IniDocument& document, const std::string& name) {
    return UploadRecord{document.value(name, "ImgMd5"), document.value(name, "ImgUploadTime"), "",
                        document.value(name, "ImgUrl"), document.value(name, "ImgType")};
}
std::optional<std::string> full_reading_lookup(const std::string& bytes, const std::string& digest) {
    Names names = list_ini_sections_in(bytes);
    if (std::find(names.begin(), names.end(), digest) == names.end())
        return std::nullopt;
    UploadRecord found = document_record(IniDocument::parse(bytes), digest);
    if (!is_complete_local_record(found, digest))
        return std::nullopt;
    return found.ImgUrl;
}
std::vector<UploadRecord> full_reading_list(const std::string& bytes) {
    IniDocument document = IniDocument::parse(bytes);
    std::vector<UploadRecord> records;
    for (const std::string& name : list_ini_sections_in(bytes)) {
        UploadRecord found = document_record(document, name);
        if (is_complete_local_record(found, name))
            records.push_back(found);
    }
    return records;
}

TEST(ListIniSections, HeaderLineRules) {
    test::TempDir dir;
    auto file = dir.file("r.ini");
    put(file, "[aaa]\r\n"
              "ImgMd5=aaa\r\n"
              " [blank]\r\n" // a header must start in the first byte
              "[noclose\r\n" // no "]": not a header
              "[two]]x]\r\n" // up to the first "]"
              "key=[x]\r\n"
              "[\x95]]\n" // the first "]" is the trail byte of a double-byte character
              "[\x95]\n"  // ... so this line has none at all
              "\r\n"
              "[]\r\n"
              "[a|b]\r\n"    // "|" separates names
              "[\x95|c]\r\n" // ... but not as the trail byte of a double-byte character
              "[AAA]\r\n"
              "[aaa]\r\n"); // duplicates are listed twice
    EXPECT_EQ(listed(file), (Names{"aaa", "two", "\x95]", "", "a", "b", "\x95|c", "AAA", "aaa"}));

    put(file, "ImgMd5=x\r\nImgUrl=y\r\n");
    EXPECT_EQ(listed(file), Names{});

    // An empty name vanishes when it comes first or last.
    put(file, "[]\n[a]\n[]\n");
    EXPECT_EQ(listed(file), Names{"a"});
    put(file, "[a]\n[]\n[]\n[b]");
    EXPECT_EQ(listed(file), (Names{"a", "", "", "b"}));
}

// Damage only spoils its own line: the sections before and after it stay listed, as the INI reader and the writer
// see them too.
TEST(ListIniSections, JunkByteOrderMarksAndLoneCarriageReturnsHideNothing) {
    test::TempDir dir;
    auto file = dir.file("r.ini");
    put(file, std::string("[x]\n\0\0\0\n[y]\n", 11));
    EXPECT_EQ(listed(file), (Names{"x", "y"}));
    put(file, "[x]\n\x1A\n[y]\r\n\x1A\xFF\xFE\x81[z]\r\n[w]\n");
    EXPECT_EQ(listed(file), (Names{"x", "y", "w"})) << "a header glued to junk is junk";
    put(file, "\xEF\xBB\xBF[x]\r\nImgMd5=x\r\n[y]\r\n");
    EXPECT_EQ(listed(file), (Names{"x", "y"}));
    put(file, "[x]\rImgMd5=x\r[y]\r\r[z]");
    EXPECT_EQ(listed(file), (Names{"x", "y", "z"}));
}

TEST(ListIniSections, MissingOrUnreadableFile) {
    test::TempDir dir;
    Names names{"kept"};
    list_ini_sections(dir.file("missing.ini"), names);
    EXPECT_EQ(names, Names{"kept"}) << "no file: the caller's list stays";

    auto file = dir.file("locked.ini");
    put(file, "[a]\n");
    std::filesystem::permissions(file, std::filesystem::perms::none);
    if (geteuid() != 0) { // root reads anything
        list_ini_sections(file, names);
        EXPECT_EQ(names, Names{}) << "an unreadable file reads as empty";
    }
}

TEST(LocalRecordFile, WriteLookupReadAllRemoveAll) {
    test::TempDir dir;
    auto file = dir.file("本地记录.ini");
    const std::string digest1 = "0123456789abcdef0123456789abcdef";
    const std::string digest2 = "fedcba9876543210fedcba9876543210";
    EXPECT_EQ(find_local_record(file, digest1), std::nullopt);
    EXPECT_TRUE(read_all_local_records(file).empty());

    ASSERT_TRUE(write_local_record(file, record(digest1)));
    UploadRecord second{digest2, "1700000000456", "", "https://h/\xC4\xEA/" + digest2 + ".gif", ".gif"};
    ASSERT_TRUE(write_local_record(file, second));
    // The layout stays byte for byte what the four single writes used to leave.
    EXPECT_EQ(read_whole_file(file), "[" + digest1 + "]\r\nImgMd5=" + digest1 +
                                         "\r\nImgType=.png\r\nImgUploadTime=1700000000123\r\n"
                                         "ImgUrl=https://gitee.com/o/r/raw/master/" +
                                         digest1 + ".png\r\n[" + digest2 + "]\r\nImgMd5=" + digest2 +
                                         "\r\nImgType=.gif\r\nImgUploadTime=1700000000456\r\n"
                                         "ImgUrl=https://h/\xC4\xEA/" +
                                         digest2 + ".gif\r\n");

    EXPECT_EQ(find_local_record(file, digest1), record(digest1).ImgUrl);
    EXPECT_EQ(find_local_record(file, digest2), second.ImgUrl);
    EXPECT_EQ(find_local_record(file, "0123456789ABCDEF0123456789ABCDEF"), std::nullopt) << "digests match exactly";

    // Hand-written sections: an upper-case digest is listed but not found by the lower-case lookup; sections
    // without a whole record are no records at all, nor is one whose ImgMd5 is not its section's digest (its
    // address would name another picture's file) or whose address only ends like its file.
    const std::string upper = "ABCDEF0123456789ABCDEF0123456789";
    std::ofstream(file, std::ios::binary | std::ios::app)
        << "[" << upper << "]\r\nImgMd5=" << upper << "\r\nImgType=.jpg\r\nImgUploadTime=1\r\nImgUrl=https://h/"
        << upper << ".jpg\r\n[empty]\r\n[abc]\r\nImgMd5=abc\r\nImgType=.png\r\nImgUploadTime=1\r\nImgUrl=\r\n"
        << "[dd]\r\nImgMd5=1\r\nImgType=.png\r\nImgUploadTime=1\r\nImgUrl=https://h/dd1.png\r\n"
        << "[ee]\r\nImgMd5=ee\r\nImgType=.png\r\nImgUploadTime=1\r\nImgUrl=https://h/xee.png\r\n";
    EXPECT_EQ(find_local_record(file, "abcdef0123456789abcdef0123456789"), std::nullopt);
    EXPECT_EQ(find_local_record(file, "empty"), std::nullopt);
    EXPECT_EQ(find_local_record(file, "abc"), std::nullopt);
    EXPECT_EQ(find_local_record(file, "dd"), std::nullopt);
    EXPECT_EQ(find_local_record(file, "ee"), std::nullopt);
    auto all = read_all_local_records(file);
    ASSERT_EQ(all.size(), 3u);
    EXPECT_EQ(all[0], record(digest1));
    EXPECT_EQ(all[1], second);
    EXPECT_EQ(all[2].ImgMd5, upper);

    EXPECT_TRUE(remove_all_local_records(file));
    EXPECT_FALSE(file_exists(file));
    EXPECT_TRUE(read_all_local_records(file).empty());
    EXPECT_EQ(find_local_record(file, digest1), std::nullopt);
    EXPECT_TRUE(remove_all_local_records(file)) << "nothing to remove is no error";
}

// The record goes at the end in the file's own line ending style, on a line of its own.
TEST(LocalRecordFile, AppendedBytesFollowTheFileAndCloseATornLastLine) {
    test::TempDir dir;
    auto file = dir.file("r.ini");
    const UploadRecord d{"d", "t", "", "u/d.png", ".png"};
    const std::string pinned = "[d]\r\nImgMd5=d\r\nImgType=.png\r\nImgUploadTime=t\r\nImgUrl=u/d.png\r\n";
    const std::pair<std::string, std::string> cases[] = {
        {"", pinned},
        {"[a]\nk=v\n", "[a]\nk=v\n[d]\nImgMd5=d\nImgType=.png\nImgUploadTime=t\nImgUrl=u/d.png\n"},
        {"[a]\r\nImgUrl=https://h/a.pn", "[a]\r\nImgUrl=https://h/a.pn\r\n" + pinned},
        {"[a]\r\nk=v\r", "[a]\r\nk=v\r\n" + pinned},
        {"[a]\nk=v", "[a]\nk=v\n[d]\nImgMd5=d\nImgType=.png\nImgUploadTime=t\nImgUrl=u/d.png\n"},
        {"\xEF\xBB\xBF", "\xEF\xBB\xBF" + pinned},
        {std::string("[a]\r\n\0\x1A", 7), std::string("[a]\r\n\0\x1A\r\n", 9) + pinned},
    };
    for (const auto& [before, after] : cases) {
        put(file, before);
        bool written = false;
        EXPECT_EQ(add_local_record_if_absent(file, d, &written), std::nullopt);
        EXPECT_TRUE(written);
        EXPECT_EQ(read_whole_file(file), after) << before;
        EXPECT_EQ(find_local_record(file, "d"), "u/d.png") << before;
        EXPECT_EQ(full_reading_lookup(read_whole_file(file), "d"), "u/d.png") << before;
        std::filesystem::remove(file);
    }
}

TEST(LocalRecordFile, AddIfAbsentKeepsTheFirstRecord) {
    test::TempDir dir;
    auto file = dir.file("r.ini");
    bool written = false;
    EXPECT_EQ(add_local_record_if_absent(file, record("d", "first"), &written), std::nullopt);
    EXPECT_TRUE(written);
    EXPECT_EQ(add_local_record_if_absent(file, record("d", "second"), &written), record("d", "first").ImgUrl);
    EXPECT_FALSE(written);
    EXPECT_EQ(read_all_local_records(file).size(), 1u);
}

// A crash could cut the last record anywhere. Whatever is left reads as the earlier records plus, at most, a whole
// last one; never an address cut short. Uploading that picture again leaves exactly one whole section of it, where
// the profile functions find it too.
TEST(LocalRecordFile, ARecordCutAtAnyByteReadsAsAbsentAndIsWrittenWholeAgain) {
    test::TempDir dir;
    const std::vector<UploadRecord> earlier = {record("0123456789abcdef0123456789abcdef"),
                                               record("fedcba9876543210fedcba9876543210")};
    const UploadRecord last = record("00112233445566778899aabbccddeeff");
    std::string head;
    for (const UploadRecord& r : earlier)
        head += section_bytes(r);
    const std::string tail = section_bytes(last);
    for (std::size_t cut = 0; cut < tail.size(); ++cut) {
        auto file = dir.file("cut" + std::to_string(cut) + ".ini"); // a new file each time: no index carries over
        const std::string bytes = head + tail.substr(0, cut);
        put(file, bytes);
        auto all = read_all_local_records(file);
        ASSERT_GE(all.size(), 2u) << cut;
        EXPECT_EQ(std::vector<UploadRecord>(all.begin(), all.begin() + 2), earlier) << cut;
        if (all.size() == 3) {
            EXPECT_EQ(all[2], last) << cut;
        }
        EXPECT_LE(all.size(), 3u);
        auto found = find_local_record(file, last.ImgMd5);
        EXPECT_TRUE(!found || *found == last.ImgUrl) << cut;
        EXPECT_EQ(found, full_reading_lookup(bytes, last.ImgMd5)) << cut;

        bool written = false;
        auto recorded = add_local_record_if_absent(file, last, &written);
        EXPECT_TRUE(recorded ? *recorded == last.ImgUrl : written) << cut;
        const std::string after = read_whole_file(file);
        Names names = list_ini_sections_in(after);
        EXPECT_EQ(std::count(names.begin(), names.end(), last.ImgMd5), 1) << cut;
        EXPECT_EQ(local_records_in(after), (std::vector<UploadRecord>{earlier[0], earlier[1], last})) << cut;
        EXPECT_EQ(document_record(IniDocument::parse(after), last.ImgMd5), last) << cut;
        EXPECT_EQ(find_local_record(file, last.ImgMd5), last.ImgUrl) << cut;
    }
}

// Sections that writers before whole-record appends left half written, in the middle of the file: the upload of
// that picture replaces them, and keeps every other section and every complete record byte for byte.
TEST(LocalRecordFile, AnOlderHalfWrittenSectionIsReplacedAndNothingElseMoves) {
    test::TempDir dir;
    auto file = dir.file("r.ini");
    const UploadRecord a = record("aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa");
    const UploadRecord b = record("bbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbb");
    const std::string half = "[" + b.ImgMd5 + "]\r\nImgMd5=" + b.ImgMd5 + "\r\nImgType=.png\r\n";
    const std::string other = "[other]\r\nkey=kept\r\n";
    put(file, section_bytes(a) + half + other + "[" + b.ImgMd5 + "]\r\nImgUrl=\r\n");
    EXPECT_EQ(find_local_record(file, b.ImgMd5), std::nullopt);
    EXPECT_EQ(read_all_local_records(file), std::vector<UploadRecord>{a});

    bool written = false;
    EXPECT_EQ(add_local_record_if_absent(file, b, &written), std::nullopt);
    EXPECT_TRUE(written);
    EXPECT_EQ(read_whole_file(file), section_bytes(a) + other + section_bytes(b));
    EXPECT_EQ(find_local_record(file, b.ImgMd5), b.ImgUrl);

    // A complete record of the same digest in another letter case is never dropped.
    const std::string upper = "CCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCC";
    const UploadRecord c = record("cccccccccccccccccccccccccccccccc");
    UploadRecord upper_record = record(upper);
    put(file, "[" + c.ImgMd5 + "]\r\nImgMd5=" + c.ImgMd5 + "\r\n" + section_bytes(upper_record));
    EXPECT_EQ(add_local_record_if_absent(file, c, &written), std::nullopt);
    EXPECT_TRUE(written);
    EXPECT_EQ(read_whole_file(file), section_bytes(upper_record) + section_bytes(c));
    EXPECT_EQ(find_local_record(file, c.ImgMd5), upper_record.ImgUrl) << "the profile functions read the first";
}

// A delete takes every section of the digest out (complete, half written, or in another letter case, which the INI
// reader takes for the same name) and leaves every other byte where it was.
TEST(LocalRecordFile, RemovingARecordTakesEverySectionOfItsDigestAndNothingElse) {
    test::TempDir dir;
    auto file = dir.file("r.ini");
    bool removed = true;
    EXPECT_TRUE(remove_local_record(file, "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa", &removed));
    EXPECT_FALSE(removed);
    EXPECT_FALSE(std::filesystem::exists(file)) << "no file is made for nothing";

    const UploadRecord a = record("aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa");
    const UploadRecord b = record("bbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbb");
    const std::string other = "[other]\r\n; comment\r\nkey=kept\r\n";
    const std::string half = "[" + b.ImgMd5 + "]\r\nImgMd5=" + b.ImgMd5 + "\r\n";
    put(file,
        section_bytes(a) + half + other + section_bytes(b) + section_bytes(record("BBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBB")));
    ASSERT_EQ(find_local_record(file, b.ImgMd5), std::nullopt) << "the half-written section is the one read";

    EXPECT_TRUE(remove_local_record(file, b.ImgMd5, &removed));
    EXPECT_TRUE(removed);
    EXPECT_EQ(read_whole_file(file), section_bytes(a) + other);
    EXPECT_EQ(read_all_local_records(file), std::vector<UploadRecord>{a});
    EXPECT_TRUE(remove_local_record(file, b.ImgMd5, &removed));
    EXPECT_FALSE(removed);
    EXPECT_EQ(read_whole_file(file), section_bytes(a) + other);
}

// Each lookup must give what the full INI reading gives: list_ini_sections, then the profile functions' values,
// then the completeness rule; also after this process appended, and when the answer comes from its index.
TEST(LocalRecordFile, AnAddressIsReplacedOnlyWhileItIsTheExpectedOneAndOnlyWithItsOwnFile) {
    const std::string a(32, 'a'), b(32, 'b');
    const UploadRecord moved = record(a, "n");
    struct Case {
        const char* name;
        std::string digest;
        std::string expected;
        std::string address;
        bool replaced;
    };
    const Case cases[] = {
        {"the expected address", a, record(a).ImgUrl, moved.ImgUrl, true},
        {"changed meanwhile", a, record(a, "x").ImgUrl, moved.ImgUrl, false},
        {"no such record", std::string(32, 'c'), record(a).ImgUrl, moved.ImgUrl, false},
        {"not the digest's file", a, record(a).ImgUrl, record(b, "n").ImgUrl, false},
        {"a line break", a, record(a).ImgUrl, moved.ImgUrl + "\r\nImgUrl=x", false},
    };
    for (const Case& c : cases) {
        test::TempDir dir;
        const std::filesystem::path file = dir.file("records.ini");
        // CR LF in a hand-edited file with a comment: every byte but the address stays.
        const std::string before = section_bytes(record(b)) + "; note\r\n" + section_bytes(record(a)) + "\r\n";
        put(file, before);
        EXPECT_EQ(replace_local_record_address(file, c.digest, c.expected, c.address), c.replaced) << c.name;
        std::string after = before;
        if (c.replaced)
            after.replace(after.find(record(a).ImgUrl), record(a).ImgUrl.size(), c.address);
        EXPECT_EQ(read_whole_file(file), after) << c.name;
        EXPECT_EQ(find_local_record(file, a), c.replaced ? c.address : record(a).ImgUrl) << c.name;
    }
}

TEST(LocalRecordFile, HeaderScanAnswersAsTheFullReadingOnHandEditedFiles) {
    const std::string d1 = "0123456789abcdef0123456789abcdef";
    const std::string d2 = "fedcba9876543210fedcba9876543210";
    std::string u1 = d1;
    for (char& c : u1)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    auto keys = [](const std::string& digest, const std::string& url, const std::string& eol = "\r\n") {
        return "ImgMd5=" + digest + eol + "ImgType=.png" + eol + "ImgUploadTime=1" + eol + "ImgUrl=" + url + eol;
    };
    const std::string r1 = "[" + d1 + "]\r\n" + keys(d1, "https://h/" + d1 + ".png");
    const std::string r2 = "[" + d2 + "]\r\n" + keys(d2, "https://h/" + d2 + ".png");
    const std::vector<std::string> files = {
        "",
        r1 + r2,
        "[" + u1 + "]\r\n" + keys(u1, "https://h/U/" + u1 + ".png") + r1,
        "[ " + d1 + " ]\r\n" + keys(d1, "https://h/blank/" + d1 + ".png") + r2 + r1,
        " [" + d1 + "]\r\n" + keys(d1, "https://h/indented/" + d1 + ".png") + r1,
        "\t[" + d1 + "]\t\r\n" + keys(d1, "https://h/tab/" + d1 + ".png"),
        r1 + "[" + d1 + "]\r\n" + keys(d1, "https://h/second/" + d1 + ".png"),
        "[" + d1 + "]\r\nImgMd5=" + d1 + "\r\n" + r2 + r1,
        "[" + d1 + "]\r\n[" + d1 + "]\r\n" + keys(d1, "https://h/" + d1 + ".png"),
        std::string("\0\0[x]\r\n", 7) + r1 + std::string("\x1A\xFF\x00junk\r\n", 10) + r2,
        "\xEF\xBB\xBF" + r1 + r2,
        "\xEF\xBB\xBF \xEF\xBB\xBF" + r1,
        "[" + d1 + "]\r" + keys(d1, "https://h/" + d1 + ".png", "\r") + "[" + d2 + "]\r" +
            keys(d2, "https://h/" + d2 + ".png", "\r"),
        "[" + d1 + "]\n" + keys(d1, "https://h/" + d1 + ".png", "\n"),
        "[" + d1 + "]\r\n imgurl = https://h/lower/" + d1 + ".png \r\nIMGMD5=" + d1 +
            "\r\nimgtype=.png\r\nImgUploadTime='1'\r\nImgUrl=https://h/second-key/" + d1 + ".png\r\n",
        "[" + d1 + "]\r\n;ImgUrl=https://h/comment/" + d1 + ".png\r\n" + keys(d1, "\"https://h/q/" + d1 + ".png\""),
        "ImgUrl=https://h/before/" + d1 + ".png\r\n" + r1,
        "[a|" + d1 + "]\r\n" + keys(d1, "https://h/pipe/" + d1 + ".png") + r2,
        "[a|" + d1 + "]\r\n" + keys(d1, "https://h/pipe/" + d1 + ".png") + r1,
        "[" + d1 + "|a]\r\n" + r2 + "[" + d1 + "]\r\n" + keys(d1, "https://h/" + d1 + ".png"),
        "[\x95]\r\n" + r1 + "[\x95|" + d2 + "]\r\n" + keys(d2, "https://h/" + d2 + ".png"),
        "[" + d1 + "] trailing words\r\n" + keys(d1, "https://h/" + d1 + ".png"),
        "[" + d1 + "\r\n" + keys(d1, "https://h/" + d1 + ".png") + r2,
        "x=[" + d1 + "]\r\n" + r2,
        r1.substr(0, r1.size() - 6) + r2,
        r2 + r1.substr(0, r1.size() - 2),
        "[" + d1 + "]\r\n" + keys(d1, "https://h/" + d1 + ".PNG") + "[" + d2 + "]\r\n" + keys(d2, "https://h/x.png"),
        "[" + d1 + "]\r\n" + keys(u1, "https://h/" + u1 + ".png"),
        "[" + d1 + "]\r\n" + keys(d1, std::string("https://h/\0", 11) + d1 + ".png"),
        "[" + d1 + "]\r\nImgMd5=" + d1 + "\r\nImgType=.png\r\nImgUrl=https://h/" + d1 + ".png\r\n",
    };
    const std::vector<std::string> digests = {d1, d2, u1, " " + d1, "a", "", d1 + "|a", "\x95", "x"};
    test::TempDir dir;
    int n = 0;
    for (const std::string& bytes : files) {
        auto file = dir.file("case" + std::to_string(n++) + ".ini");
        put(file, bytes);
        for (int round = 0; round < 2; ++round) // the first reads the file, the second may answer from the index
            for (const std::string& digest : digests)
                EXPECT_EQ(find_local_record(file, digest), full_reading_lookup(bytes, digest))
                    << "file " << n - 1 << " digest '" << digest << "' round " << round;
        EXPECT_EQ(read_all_local_records(file), full_reading_list(bytes)) << "file " << n - 1;

        // Appends keep the index and the file in step.
        for (const std::string& digest : {d1, d2, std::string("00000000000000000000000000000003")})
            add_local_record_if_absent(file, record(digest, "added"));
        const std::string after = read_whole_file(file);
        for (const std::string& digest : digests)
            EXPECT_EQ(find_local_record(file, digest), full_reading_lookup(after, digest))
                << "file " << n - 1 << " after appends, digest '" << digest << "'";
        EXPECT_EQ(read_all_local_records(file), full_reading_list(after)) << "file " << n - 1 << " after appends";
    }
}

// Files put together at random from the lines that hand edits, crashes and damage produce.
TEST(LocalRecordFile, HeaderScanAnswersAsTheFullReadingOnRandomFiles) {
    const std::vector<std::string> digests = {"0123456789abcdef0123456789abcdef", "0123456789ABCDEF0123456789ABCDEF",
                                              "fedcba9876543210fedcba9876543210", "a"};
    std::vector<std::string> pieces;
    for (const std::string& digest : digests) {
        for (const char* header : {"[%]", " [%]", "[ % ]", "[%|a]", "[a|%]", "[%"})
            pieces.push_back(std::string(header).replace(std::string(header).find('%'), 1, digest));
        pieces.push_back("ImgMd5=" + digest);
        pieces.push_back("ImgUrl=https://h/" + digest + ".png");
        pieces.push_back("imgurl = https://h/other/" + digest + ".png");
        pieces.push_back("ImgUrl=https://h/" + digest.substr(0, 5));
        // Whole records, so that first-wins and letter case decide between addresses.
        for (const char* header : {"[%]", "[%]", " [%]", "[ % ]"}) {
            std::string block = std::string(header).replace(std::string(header).find('%'), 1, digest);
            block += "\r\nImgMd5=" + digest + "\r\nImgType=.png\r\nImgUploadTime=1\r\nImgUrl=https://h/" +
                     std::to_string(pieces.size()) + "/" + digest + ".png";
            pieces.push_back(block);
        }
    }
    for (const char* line : {"ImgType=.png", "ImgUploadTime=1700000000123", "ImgType=", ";c", "", "\xEF\xBB\xBF",
                             "\x95]", "[\x95]]", "[]", "junk\x1A\xFF"})
        pieces.push_back(line);
    pieces.push_back(std::string("\0\0", 2));
    const std::vector<std::string> ends = {"\r\n", "\n", "\r"};

    std::mt19937 random(20240611);
    test::TempDir dir;
    int found = 0;
    for (int n = 0; n < 400; ++n) {
        std::string bytes = random() % 8 == 0 ? "\xEF\xBB\xBF" : "";
        const int lines = static_cast<int>(random() % 40);
        for (int i = 0; i < lines; ++i)
            bytes += pieces[random() % pieces.size()] + (random() % 10 == 0 ? "" : ends[random() % ends.size()]);
        auto file = dir.file("random" + std::to_string(n) + ".ini");
        put(file, bytes);
        for (int round = 0; round < 2; ++round)
            for (const std::string& digest : digests)
                ASSERT_EQ(find_local_record(file, digest), full_reading_lookup(bytes, digest))
                    << "digest " << digest << " round " << round << " in:\n"
                    << bytes;
        ASSERT_EQ(local_records_in(bytes), full_reading_list(bytes)) << bytes;
        found += full_reading_lookup(bytes, digests[0]).has_value();
    }
    EXPECT_GT(found, 40) << "the files must hold records to find";
}

// Another process's append, a replacement and an edit in place are all seen by the next lookup.
TEST(LocalRecordFile, LookupsSeeChangesMadeBehindTheirBack) {
    test::TempDir dir;
    auto file = dir.file("r.ini");
    const UploadRecord a = record("aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa");
    const UploadRecord b = record("bbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbb");
    ASSERT_TRUE(write_local_record(file, a));
    EXPECT_EQ(find_local_record(file, b.ImgMd5), std::nullopt);

    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0)
        _exit(write_local_record(file, b) ? 0 : 1);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(find_local_record(file, b.ImgMd5), b.ImgUrl);

    put(dir.file("new.ini"), section_bytes(b));
    std::filesystem::rename(dir.file("new.ini"), file);
    EXPECT_EQ(find_local_record(file, a.ImgMd5), std::nullopt);
    EXPECT_EQ(find_local_record(file, b.ImgMd5), b.ImgUrl);

    std::ofstream(file, std::ios::binary | std::ios::app) << section_bytes(a);
    EXPECT_EQ(find_local_record(file, a.ImgMd5), a.ImgUrl);
    put(file, section_bytes(record(a.ImgMd5, "edited")));
    EXPECT_EQ(find_local_record(file, a.ImgMd5), record(a.ImgMd5, "edited").ImgUrl);
    EXPECT_EQ(find_local_record(file, b.ImgMd5), std::nullopt);
}

// Uploads of one new picture from several threads and a second process end with one section.
TEST(LocalRecordFile, ConcurrentAddsOfOneDigestGiveOneSection) {
    test::TempDir dir;
    auto file = dir.file("r.ini");
    const std::string digest = "00000000000000000000000000000001";
    constexpr int kThreads = 6;
    std::atomic<int> ready{0};
    std::atomic<int> wrote{0};
    auto race = [&](const std::string& who) {
        ++ready;
        while (ready.load() < kThreads) {
            std::this_thread::yield();
        }
        bool written = false;
        auto found = add_local_record_if_absent(file, record(digest, who), &written);
        if (!found && written)
            ++wrote;
    };

    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        bool written = false;
        auto found = add_local_record_if_absent(file, record(digest, "child"), &written);
        _exit(found ? 0 : (written ? 2 : 1));
    }
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i)
        threads.emplace_back(race, "thread" + std::to_string(i));
    for (auto& thread : threads)
        thread.join();
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    int child_wrote = WEXITSTATUS(status) == 2 ? 1 : 0;
    EXPECT_NE(WEXITSTATUS(status), 1);

    EXPECT_EQ(wrote.load() + child_wrote, 1);
    EXPECT_EQ(listed(file), Names{digest});
    auto address = find_local_record(file, digest);
    ASSERT_TRUE(address);
    EXPECT_TRUE(*address == record(digest, "child").ImgUrl || address->find("/thread") != std::string::npos)
        << *address;
}

TEST(LocalRecordFile, ManyRecordsReadBackInOrder) {
    test::TempDir dir;
    auto file = dir.file("r.ini");
    std::string bytes;
    constexpr int kRecords = 3000;
    for (int i = 0; i < kRecords; ++i) {
        std::string digest = std::to_string(i);
        bytes += "[" + digest + "]\r\nImgMd5=" + digest + "\r\nImgType=.jpg\r\nImgUploadTime=1\r\nImgUrl=u/" + digest +
                 ".jpg\r\n";
    }
    put(file, bytes);
    auto all = read_all_local_records(file);
    ASSERT_EQ(all.size(), static_cast<std::size_t>(kRecords));
    for (int i = 0; i < kRecords; i += 499) {
        EXPECT_EQ(all[i].ImgMd5, std::to_string(i));
        EXPECT_EQ(all[i].ImgUrl, "u/" + std::to_string(i) + ".jpg");
        EXPECT_EQ(all[i].ImgType, ".jpg");
    }
}

TEST(LocalRecordFile, LivesInTheProgramDirectory) {
    test::TempDir dir;
    set_program_dir(dir.path());
    EXPECT_EQ(local_record_file_path(), dir.path() / "本地记录.ini");
}

} // namespace
} // namespace velpic
