#include "settings/link_text.h"

#include <gtest/gtest.h>

namespace velpic {
namespace {

TEST(LinkText, EachFormatWrapsTheAddressAndNoNameOrAddressCanBreakOutOfTheMarkup) {
    const std::string address = "https://gitee.com/alice/pics/raw/master/0cc175b9c0f1b6a831c399e269772661.png";
    EXPECT_EQ(link_text(LinkFormat::url, address, "cat"), address);
    EXPECT_EQ(link_text(LinkFormat::markdown, address, "猫 cat"), "![猫 cat](" + address + ")");
    EXPECT_EQ(link_text(LinkFormat::html, address, "猫 cat"), "<img src=\"" + address + "\" alt=\"猫 cat\">");

    // Names as file systems allow them: brackets, a backslash, a backtick, a line break, markup.
    const std::string name = "a]b[c\\d`e\nf<script>*_";
    EXPECT_EQ(link_text(LinkFormat::markdown, address, name),
              "![a\\]b\\[c\\\\d\\`e f\\<script\\>\\*\\_](" + address + ")");
    EXPECT_EQ(link_text(LinkFormat::html, address, "x\" onerror=\"alert(1)' & <b>"),
              "<img src=\"" + address + "\" alt=\"x&quot; onerror=&quot;alert(1)&#39; &amp; &lt;b&gt;\">");

    // An address with what a service should never send: it stays one destination, one attribute.
    const std::string odd = "https://h/p (1)<x>\\y\"z&w.png";
    EXPECT_EQ(link_text(LinkFormat::markdown, odd, "n"), "![n](https://h/p%20%281%29%3Cx%3E%5Cy\"z&w.png)");
    EXPECT_EQ(link_text(LinkFormat::html, odd, "n"),
              "<img src=\"https://h/p%20(1)&lt;x&gt;\\y&quot;z&amp;w.png\" alt=\"n\">");
    EXPECT_EQ(link_text(LinkFormat::url, odd, "n"), odd);
}

TEST(LinkText, TheNameIsTheFilesNameWithoutItsLastExtension) {
    EXPECT_EQ(link_name(std::filesystem::path(u8"/home/u/年.v2/猫 photo.PNG")), "猫 photo");
    EXPECT_EQ(link_name("/tmp/archive.tar.gz"), "archive.tar");
    EXPECT_EQ(link_name("/tmp/noext"), "noext");
    EXPECT_EQ(link_name("/tmp/.png"), ".png");
}

} // namespace
} // namespace velpic
