#include "notes/publish_notes.h"

#include "notes/settled_notes.h"
#include "corpus_copy.h"
#include "runtime/md5.h"
#include "support/temp_dir.h"
#include "support/service_context.h"
#include "support/test_service.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <unistd.h>

namespace velpic {
namespace {

using test::file_bytes;
using test::TestService;
using test::tree;
using test::write_bytes;

const std::string kPng = std::string("\x89PNG\r\n\x1a\n", 8);

class PublishNotesTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(service.running());
        context = test::service_upload_context(service, dir.file("data"));
        context.machine_code = "1234567890";
        std::filesystem::create_directories(context.program_dir);
        values = {{"{{DIR}}", notes.string()}, {"{{REPO}}", repo_prefix()}};
    }
    void TearDown() override { unsetenv("VELPIC_SERVICE_BASE"); }

    std::string repo_prefix() const { return service.base() + "alice/pics/raw/master/"; }

    void copy_corpus() { test::write_tree(notes, tree(test::corpus("publish/notes"), values)); }

    int publish(const PublishOptions& options = {}, std::vector<std::string> paths = {}) {
        out.str({});
        err.str({});
        if (paths.empty())
            paths = {notes.string()};
        return publish_notes(paths, options, context, out, err);
    }

    std::size_t commits() const { return service.count_requests("POST", "/api/v5/repos/alice/pics/contents/"); }

    std::vector<std::string> rewrite_lines() const {
        std::vector<std::string> lines;
        std::istringstream text(out.str());
        for (std::string line; std::getline(text, line);)
            if (line.find(" → ") != std::string::npos)
                lines.push_back(line);
        return lines;
    }

    TestService service;
    test::TempDir dir;
    std::filesystem::path notes = dir.file("notes");
    UploadContext context;
    std::map<std::string, std::string> values;
    std::ostringstream out, err;
};

TEST_F(PublishNotesTest, TheCorpusComesOutByteForByteAndEveryPictureIsCommittedOnce) {
    copy_corpus();
    ASSERT_EQ(publish(), 0) << err.str();
    EXPECT_EQ(err.str(), "");
    EXPECT_EQ(tree(notes, {}), [&] {
        auto expected = tree(test::corpus("publish/notes"), values);
        for (auto& [name, bytes] : tree(test::corpus("publish/expected"), values))
            expected[name] = bytes;
        return expected;
    }());
    // Seven distinct pictures behind 27 references (two of them links to a picture), each committed once under its digest name, with its bytes.
    EXPECT_EQ(commits(), 7u);
    for (const char* picture : {"images/logo.png", "images/子目录/猫.jpg", "abs.webp"}) {
        const std::string bytes = file_bytes(notes / std::filesystem::path(reinterpret_cast<const char8_t*>(picture)));
        const std::string name = md5_hex(bytes) + std::filesystem::path(picture).extension().string();
        ASSERT_TRUE(service.file("alice", "pics", name)) << picture;
        EXPECT_EQ(service.file("alice", "pics", name)->bytes, bytes) << picture;
    }
    EXPECT_EQ(rewrite_lines().size(), 27u);
    EXPECT_NE(out.str().find(notes.string() + "/basic.md:3: images/logo.png → " + repo_prefix() +
                             "ee1b5773df2710ac0b4787346e4faaac.png\n"),
              std::string::npos)
        << out.str();
    EXPECT_NE(out.str().find(notes.string() + "/crlf.md:7: images/a\\_b.gif → "), std::string::npos) << out.str();
    EXPECT_TRUE(out.str().ends_with("publish: 27 references rewritten in 5 of 5 notes, 0 failed; left alone: links to files that are no "
                                    "pictures 1, remote pictures without --remote 1\n")) << out.str();

    // A second run finds nothing left to do and sends nothing.
    const auto after_first = tree(notes, {});
    service.forget_requests();
    ASSERT_EQ(publish(), 0) << err.str();
    EXPECT_EQ(out.str(), "publish: 0 references rewritten in 0 of 5 notes, 0 failed; left alone: links to files that "
                         "are no pictures 1, remote pictures without --remote 1\n");
    EXPECT_EQ(tree(notes, {}), after_first);
    EXPECT_EQ(service.requests().size(), 0u);
}

TEST_F(PublishNotesTest, ADryRunShowsTheSameRewritesAndWritesAndUploadsNothing) {
    copy_corpus();
    const auto before = tree(notes, {});
    PublishOptions dry;
    dry.dry_run = true;
    ASSERT_EQ(publish(dry), 0) << err.str();
    EXPECT_EQ(tree(notes, {}), before);
    EXPECT_EQ(commits(), 0u);
    EXPECT_FALSE(std::filesystem::exists(context.program_dir / "本地记录.ini"));
    EXPECT_FALSE(std::filesystem::exists(settled_notes_path(context.program_dir)));
    const std::vector<std::string> promised = rewrite_lines();
    EXPECT_TRUE(out.str().ends_with(
        "publish (dry run): 27 references would be rewritten in 5 of 5 notes, 0 failed; left alone: links to "
        "files that are no pictures 1, remote pictures without --remote 1; nothing was written\n"))
        << out.str();

    ASSERT_EQ(publish(), 0) << err.str();
    EXPECT_EQ(rewrite_lines(), promised);
}

TEST_F(PublishNotesTest, AFailedReferenceIsNamedAndLeftWhileTheOthersArePublished) {
    write_bytes(notes / "good.png", kPng + "good");
    write_bytes(notes / "text.png", "just text, not a picture");
    write_bytes(notes / "empty.png", "");
    const std::string note = "![ok](good.png)\n![gone](missing.png)\n\n![t](text.png) ![e](empty.png)\n";
    write_bytes(notes / "n.md", note);
    const std::string name = notes.string() + "/n.md";
    const std::vector<std::string> failures = {":2: no such picture file: " + (notes / "missing.png").string() + "\n",
                                               ":4: 只能是PNG,JPG,GIF,WEBP格式的图片！",
                                               ":4: 上传失败！[错误原因：文件无法读取或为空]"};

    // A dry run, whose pictures the reading threads read ahead, names the same failures.
    PublishOptions dry;
    dry.dry_run = true;
    ASSERT_EQ(publish(dry, {name}), 1);
    for (const std::string& failure : failures)
        EXPECT_NE(err.str().find(name + failure), std::string::npos) << err.str();
    EXPECT_TRUE(out.str().ends_with("1 reference would be rewritten in 1 of 1 note, 3 failed; nothing was written\n"))
        << out.str();

    ASSERT_EQ(publish({}, {name, notes.string() + "/nowhere.md"}), 1);
    const std::string good = repo_prefix() + md5_hex(kPng + "good") + ".png";
    EXPECT_EQ(file_bytes(notes / "n.md"),
              "![ok](" + good + ")\n![gone](missing.png)\n\n![t](text.png) ![e](empty.png)\n");
    const std::string errors = err.str();
    for (const std::string& failure : failures)
        EXPECT_NE(errors.find(name + failure), std::string::npos) << errors;
    EXPECT_NE(errors.find(notes.string() + "/nowhere.md: no such file or folder"), std::string::npos) << errors;
    EXPECT_TRUE(out.str().ends_with("publish: 1 reference rewritten in 1 of 1 note, 4 failed\n")) << out.str();

    // A destination whose bytes cannot be told apart (an escaped definition behind a definition-shaped line inside
    // a link's title) is named and left, and its picture is not uploaded for nothing.
    write_bytes(notes / "a_b.png", kPng + "a_b");
    const std::string split = "x\n\n![i][r]\n\n[x](y \"a\n[r]: z\\_1.png\nb\")\n\n[r]: a\\_b.png\n";
    write_bytes(notes / "split.md", split);
    const std::size_t commits_before = commits();
    ASSERT_EQ(publish({}, {notes.string() + "/split.md"}), 1);
    EXPECT_EQ(file_bytes(notes / "split.md"), split);
    EXPECT_EQ(commits(), commits_before);
    EXPECT_NE(err.str().find("/split.md:3: a_b.png: its place in the note could not be told apart"), std::string::npos)
        << err.str();

    // A refusing service fails the reference with its message; the note keeps its bytes.
    write_bytes(notes / "m.md", "![x](other.png)\n");
    write_bytes(notes / "other.png", kPng + "other");
    service.set_access_token("right");
    ASSERT_EQ(publish({}, {notes.string() + "/m.md"}), 1);
    EXPECT_EQ(file_bytes(notes / "m.md"), "![x](other.png)\n");
    EXPECT_NE(err.str().find("/m.md:1: 上传失败！"), std::string::npos) << err.str();
}

TEST_F(PublishNotesTest, RemotePicturesAreFetchedCheckedByTheirBytesAndRehosted) {
    const std::string picture = kPng + "on another host";
    service.put_file("bob", "other", "p.png", picture);
    service.put_file("bob", "other", "page.png", "<html>a sign-in page</html>");
    const std::string own = repo_prefix() + md5_hex(kPng + "own") + ".png";
    const std::string p = service.base() + "bob/other/raw/master/p.png";
    const std::string page = service.base() + "bob/other/raw/master/page.png";
    const std::string note = "![p](" + p + ")\n![page](" + page + ")\n![own](" + own + ")\n";
    write_bytes(notes / "r.md", note);

    // Without --remote, web pictures are not even fetched.
    ASSERT_EQ(publish(), 0) << err.str();
    EXPECT_EQ(file_bytes(notes / "r.md"), note);
    EXPECT_EQ(service.count_requests("GET"), 0u);

    PublishOptions remote;
    remote.remote = true;
    ASSERT_EQ(publish(remote), 1);
    const std::string hosted = repo_prefix() + md5_hex(picture) + ".png";
    EXPECT_EQ(file_bytes(notes / "r.md"), "![p](" + hosted + ")\n![page](" + page + ")\n![own](" + own + ")\n");
    ASSERT_TRUE(service.file("alice", "pics", md5_hex(picture) + ".png"));
    EXPECT_EQ(service.file("alice", "pics", md5_hex(picture) + ".png")->bytes, picture);
    EXPECT_NE(err.str().find("/r.md:2: 只能是PNG,JPG,GIF,WEBP格式的图片！ (" + page + ")"), std::string::npos) << err.str();
    // This repository's own address is left alone, not downloaded.
    EXPECT_EQ(service.count_requests("GET", "/alice/pics/raw/"), 0u);
}

TEST_F(PublishNotesTest, ANoteReachedThroughALinkIsRewrittenWhereItLivesAndKeepsItsMode) {
    write_bytes(notes / "real" / "x.png", kPng + "x");
    write_bytes(notes / "real" / "n.md", "![x](x.png)\n");
    std::filesystem::permissions(notes / "real" / "n.md", std::filesystem::perms(0640));
    std::filesystem::create_directories(notes / "links");
    std::filesystem::create_symlink(notes / "real" / "n.md", notes / "links" / "n.md");

    ASSERT_EQ(publish({}, {(notes / "links" / "n.md").string()}), 1) << "x.png is looked for beside the link";
    ASSERT_EQ(publish({}, {(notes / "real").string()}), 0) << err.str();
    EXPECT_TRUE(std::filesystem::is_symlink(notes / "links" / "n.md"));
    EXPECT_EQ(file_bytes(notes / "links" / "n.md"), "![x](" + repo_prefix() + md5_hex(kPng + "x") + ".png)\n");
    EXPECT_EQ(std::filesystem::status(notes / "real" / "n.md").permissions(), std::filesystem::perms(0640));
}

// An Obsidian vault and a blog note with every form people write: embeds found anywhere in the vault (nearest
// first), srcset, a footnote's paragraph, links to pictures, front matter, Windows paths, a query kept; script
// contents, a picture in alt text, a link to a PDF and an embedded note stay.
TEST_F(PublishNotesTest, EveryFormANoteShowsAPictureInIsPublishedAndWhatIsNotShownStays) {
    values = {{"{{REPO}}", repo_prefix()}};
    test::write_tree(notes, tree(test::corpus("forms/notes"), values));
    ASSERT_EQ(publish(), 0) << err.str();
    EXPECT_EQ(tree(notes, {}), [&] {
        auto expected = tree(test::corpus("forms/notes"), values);
        for (auto& [name, bytes] : tree(test::corpus("forms/expected"), values))
            expected[name] = bytes;
        return expected;
    }());
    EXPECT_EQ(commits(), 16u);
    EXPECT_EQ(rewrite_lines().size(), 19u);
    EXPECT_TRUE(out.str().ends_with("publish: 19 references rewritten in 2 of 2 notes, 0 failed; left alone: embeds "
                                    "not found 1, links to files that are no pictures 1\n"))
        << out.str();

    const auto after = tree(notes, {});
    service.forget_requests();
    ASSERT_EQ(publish(), 0) << err.str();
    EXPECT_EQ(tree(notes, {}), after);
    EXPECT_EQ(service.requests().size(), 0u);
}

// Notes the user or a killed run left in a state that must be respected: each named on its own line.
TEST_F(PublishNotesTest, ReadOnlyAndForeignEncodedNotesAreNamedAndLeftAndLeftoversOfEndedRunsGo) {
    write_bytes(notes / "x.png", kPng + "x");
    write_bytes(notes / "ro.md", "![x](x.png)\n");
    std::filesystem::permissions(notes / "ro.md", std::filesystem::perms(0444));
    const std::string gbk_note = "\xB2\xE2\xCA\xD4 ![x](x.png)\n"; // "测试" in GBK
    write_bytes(notes / "gbk.md", gbk_note);
    write_bytes(notes / "utf16.md", std::string("\xFF\xFE!\0[\0", 6));
    // A leftover of a process that has ended (pid 1 never is ours, a huge pid never lives), and one of a live one.
    write_bytes(notes / "ok.md.velpic-tmp.999999999.0", "half");
    write_bytes(notes / ("ok.md.velpic-tmp." + std::to_string(::getpid()) + ".7"), "ours");
    write_bytes(notes / "settings.ini.velpic-tmp.999999999.0", "not a note's");
    write_bytes(notes / "ok.md", "![x](x.png)\n");

    ASSERT_EQ(publish(), 1);
    EXPECT_EQ(file_bytes(notes / "ro.md"), "![x](x.png)\n");
    EXPECT_EQ(file_bytes(notes / "gbk.md"), gbk_note);
    EXPECT_EQ(file_bytes(notes / "ok.md"), "![x](" + repo_prefix() + md5_hex(kPng + "x") + ".png)\n");
    const std::string errors = err.str();
    EXPECT_NE(errors.find("/ro.md: read-only, left as it is (1 reference not rewritten)\n"), std::string::npos) << errors;
    EXPECT_NE(errors.find("/gbk.md: not UTF-8 (perhaps GBK or Latin-1), left as it is"), std::string::npos) << errors;
    EXPECT_NE(errors.find("/utf16.md: not UTF-8 (UTF-16), left as it is"), std::string::npos) << errors;
    EXPECT_FALSE(std::filesystem::exists(notes / "ok.md.velpic-tmp.999999999.0"));
    EXPECT_NE(errors.find("ok.md.velpic-tmp.999999999.0: removed"), std::string::npos) << errors;
    EXPECT_TRUE(std::filesystem::exists(notes / ("ok.md.velpic-tmp." + std::to_string(::getpid()) + ".7")));
    EXPECT_TRUE(std::filesystem::exists(notes / "settings.ini.velpic-tmp.999999999.0"));
    EXPECT_TRUE(out.str().ends_with("2 failed; left alone: read-only notes 1\n")) << out.str();

    // With its encoding given, the GBK note is read and written as GBK; a GBK file name is shown readably.
    PublishOptions gbk;
    gbk.gbk = true;
    ASSERT_EQ(publish(gbk, {(notes / "gbk.md").string()}), 0) << err.str();
    EXPECT_EQ(file_bytes(notes / "gbk.md"), "\xB2\xE2\xCA\xD4 ![x](" + repo_prefix() + md5_hex(kPng + "x") + ".png)\n");
    write_bytes(notes / "\xB2\xE2\xCA\xD4.md", "\xFF bytes\n");
    publish({}, {(notes / "\xB2\xE2\xCA\xD4.md").string()});
    EXPECT_NE(err.str().find("/测试.md: not UTF-8"), std::string::npos) << err.str();
}

// What happened to a note while its pictures were uploaded is told in the notes' order, and nothing of it is
// overwritten; a long name still leaves room for the temporary file's mark.
TEST_F(PublishNotesTest, ANoteChangedOrGoneDuringItsUploadIsToldAndALongNameIsNoObstacle) {
    std::string long_name;
    for (int i = 0; i < 80; ++i)
        long_name += "长";
    long_name += ".md";
    for (const char* name : {"a", "b", "c", "d"}) {
        write_bytes(notes / (std::string(name) + ".png"), kPng + name);
        write_bytes(notes / (std::string(name) + ".md"), std::string("![x](") + name + ".png)\n");
    }
    write_bytes(notes / long_name, "![x](a.png)\n");
    // While b's picture is uploaded its note goes, and while c's is, an editor saves c.
    context.prepare_picture = [&](const std::string& bytes) {
        if (bytes == kPng + "b")
            std::filesystem::remove(notes / "b.md");
        if (bytes == kPng + "c")
            write_bytes(notes / "c.md", "![x](c.png) edited\n");
        return bytes;
    };

    ASSERT_EQ(publish(), 1);
    const std::string b_gone = notes.string() + "/b.md: cannot be written, left as it is\n";
    const std::string c_kept = notes.string() + "/c.md: changed while it was being rewritten, left as it is";
    EXPECT_LT(err.str().find(b_gone), err.str().find(c_kept)) << err.str();
    EXPECT_NE(err.str().find(c_kept), std::string::npos) << err.str();
    EXPECT_EQ(file_bytes(notes / "c.md"), "![x](c.png) edited\n");
    EXPECT_FALSE(std::filesystem::exists(notes / "b.md"));
    const std::string a_address = repo_prefix() + md5_hex(kPng + "a") + ".png";
    EXPECT_EQ(file_bytes(notes / "a.md"), "![x](" + a_address + ")\n");
    EXPECT_EQ(file_bytes(notes / long_name), "![x](" + a_address + ")\n");
    EXPECT_EQ(file_bytes(notes / "d.md"), "![x](" + repo_prefix() + md5_hex(kPng + "d") + ".png)\n");
    EXPECT_TRUE(out.str().ends_with("publish: 3 references rewritten in 3 of 5 notes, 2 failed\n")) << out.str();
    for (const auto& entry : std::filesystem::directory_iterator(notes))
        EXPECT_EQ(entry.path().string().find(".velpic-tmp."), std::string::npos) << entry.path();
}

TEST_F(PublishNotesTest, NotesFoundSettledAreRememberedAndReadAgainOnceTheirBytesOrTheRunsOptionsChange) {
    write_bytes(notes / "p.png", kPng + "p");
    write_bytes(notes / "q.png", kPng + "q");
    write_bytes(notes / "web.md", "![w](https://elsewhere.example/w.png) [site](https://example.com) [top](#top)\n");
    write_bytes(notes / "local.md", "![p](p.png)\n");
    write_bytes(notes / "missing.md", "![m](missing.png)\n");
    write_bytes(notes / "gbk.md", "\xB2\xE2 ![p](p.png)\n");
    const std::string summary = "publish: 0 references rewritten in 0 of 4 notes, 2 failed; left alone: remote "
                                "pictures without --remote 1\n";

    ASSERT_EQ(publish(), 1);
    // The note with nothing to do, and the one just rewritten; never one that failed or could not be read.
    const std::string memory = file_bytes(settled_notes_path(context.program_dir));
    EXPECT_EQ(std::count(memory.begin(), memory.end(), '\n'), 3) << memory;
    // Later runs say what a full reading says, message for message.
    for (int run = 0; run < 2; ++run) {
        ASSERT_EQ(publish(), 1);
        EXPECT_EQ(out.str(), summary);
        EXPECT_NE(err.str().find("/missing.md:1: no such picture file: "), std::string::npos) << err.str();
        EXPECT_NE(err.str().find("/gbk.md: not UTF-8"), std::string::npos) << err.str();
    }
    EXPECT_EQ(file_bytes(settled_notes_path(context.program_dir)), memory) << "nothing new learned, nothing written";

    // A remembered note edited since is read in full again.
    write_bytes(notes / "web.md", file_bytes(notes / "web.md") + "![q](q.png)\n");
    ASSERT_EQ(publish(), 1);
    EXPECT_NE(out.str().find("/web.md:2: q.png → " + repo_prefix() + md5_hex(kPng + "q") + ".png\n"),
              std::string::npos)
        << out.str();

    // Under other options the same bytes mean otherwise: the GBK note remembered as written with its encoding
    // given is still no UTF-8 note without it.
    PublishOptions gbk;
    gbk.gbk = true;
    ASSERT_EQ(publish(gbk, {(notes / "gbk.md").string()}), 0) << err.str();
    ASSERT_EQ(publish(gbk, {(notes / "gbk.md").string()}), 0) << err.str();
    ASSERT_EQ(publish({}, {(notes / "gbk.md").string()}), 1);
    EXPECT_NE(err.str().find("/gbk.md: not UTF-8"), std::string::npos) << err.str();
}

} // namespace
} // namespace velpic
