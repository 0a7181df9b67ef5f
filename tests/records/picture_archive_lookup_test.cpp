#include "records/picture_archive_lookup.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <fstream>

using namespace velpic;

TEST(PictureArchiveLookup, APictureIsFoundByItsDigestAndTypeAndNothingElseIsNamed) {
    test::TempDir dir;
    const std::string digest = "ab12cd34ef56ab12cd34ef56ab12cd34";
    const std::filesystem::path folder = dir.path() / std::filesystem::path(u8"图片存档") / "ab";
    EXPECT_EQ(archived_picture_file(dir.path(), digest, ".png"), std::nullopt); // no archive yet
    std::filesystem::create_directories(folder);
    std::ofstream(folder / (digest + ".png")) << "png";
    std::ofstream(folder / (digest + ".jpg")) << "jpg";

    EXPECT_EQ(archived_picture_file(dir.path(), digest, ".png"), folder / (digest + ".png"));
    // The record's own type first, in either letter case, and the digest in either case too.
    EXPECT_EQ(archived_picture_file(dir.path(), "AB12CD34EF56AB12CD34EF56AB12CD34", ".JPG"),
              folder / (digest + ".jpg"));
    // A type the archive does not use still finds the picture under another.
    EXPECT_EQ(archived_picture_file(dir.path(), digest, ".bmp"), folder / (digest + ".png"));
    EXPECT_EQ(archived_picture_file(dir.path(), "ab000000000000000000000000000000", ".png"), std::nullopt);
    // A copy keeps the letter case of the name uploaded (IMG_1.PNG, a.Gif): found by its record's type, or any.
    const std::string upper = "ab99cd34ef56ab12cd34ef56ab12cd34";
    std::ofstream(folder / (upper + ".PNG")) << "png";
    std::ofstream(folder / (upper + ".Gif")) << "gif";
    EXPECT_EQ(archived_picture_file(dir.path(), upper, ".PNG"), folder / (upper + ".PNG"));
    EXPECT_EQ(archived_picture_file(dir.path(), upper, ".gif"), folder / (upper + ".Gif"));
    EXPECT_EQ(archived_picture_file(dir.path(), upper, ".bmp"), folder / (upper + ".PNG"));
    // What is not a digest names no file at all.
    for (const std::string& bad : {std::string(""), std::string("ab"), std::string("../../../../../../etc/passwd"),
                                  digest.substr(0, 31) + "/", digest + "0", std::string(32, 'g')})
        EXPECT_EQ(archived_picture_file(dir.path(), bad, ".png"), std::nullopt) << bad;
}
