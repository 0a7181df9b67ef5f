// The server's own readers of request heads, chunked bodies, multipart forms and file:// addresses.
#include "server/chunked_body.h"
#include "server/http_head.h"
#include "server/multipart_form.h"
#include "server/upload_request.h"

#include <gtest/gtest.h>

namespace velpic {
namespace {

TEST(ChunkedBodyTest, DecodesInAnySplitAndStopsAtTheEndOfTheBody) {
    const std::string next = "GET /heartbeat HTTP/1.1\r\n\r\n";
    struct Case {
        std::string wire;
        ChunkedBody::State state;
        std::string body;
    };
    const std::vector<Case> cases = {
        {"5\r\nhello\r\n6;ext=1\r\n world\r\n0\r\n\r\n", ChunkedBody::State::done, "hello world"},
        {"A\r\n0123456789\r\n0\r\nTrailer: x\r\n\r\n", ChunkedBody::State::done, "0123456789"},
        {"5\r\nhello\r\n", ChunkedBody::State::more, "hello"},
        {"5\r\nhelloXX", ChunkedBody::State::bad, "hello"},     // no line break after the data
        {"z\r\n", ChunkedBody::State::bad, ""},                 // not a size
        {"5\nhello\r\n0\r\n\r\n", ChunkedBody::State::bad, ""}, // a bare line feed
        {"21\r\n", ChunkedBody::State::too_large, ""},          // 33 bytes announced, 32 allowed
        {"ffffffffffffffffff\r\n", ChunkedBody::State::too_large, ""},
        // Leading zeros are no size: sixteen and more digits of a small one are taken.
        {"0000000000000005\r\nhello\r\n00000000000000000000\r\n\r\n", ChunkedBody::State::done, "hello"},
        {"00000000000000000021\r\n", ChunkedBody::State::too_large, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.wire);
        // At once (a complete body with the next request behind it) ...
        ChunkedBody whole(32);
        std::string body;
        std::size_t used = 0;
        const bool done = c.state == ChunkedBody::State::done;
        const std::string wire = c.wire + (done ? next : "");
        EXPECT_EQ(whole.feed(wire, body, &used), c.state);
        EXPECT_EQ(body, c.body);
        if (done) {
            EXPECT_EQ(wire.substr(used), next);
        }
        // ... and byte by byte.
        ChunkedBody bytes(32);
        std::string piecemeal;
        ChunkedBody::State state = ChunkedBody::State::more;
        for (std::size_t i = 0; i < c.wire.size() && state == ChunkedBody::State::more; ++i)
            state = bytes.feed(std::string_view(c.wire).substr(i, 1), piecemeal, nullptr);
        EXPECT_EQ(state, c.state);
        EXPECT_EQ(piecemeal, c.body);
    }
}

TEST(MultipartFormTest, FindsEveryPartAsAPlaceInTheBody) {
    const std::string boundary = "XyZ";
    const std::string body = "preamble\r\n--XyZ\r\n"
                             "Content-Disposition: form-data; name=\"list\"; filename=\"a \\\"q\\\".png\"\r\n"
                             "Content-Type: image/png\r\n\r\n"
                             "bytes with --XyZ inside\r\n--XyZ  \r\n"
                             "content-disposition: form-data; name=note\r\n\r\n"
                             "text\r\n--XyZ\r\n"
                             "Content-Disposition: form-data; name=\"f\"; filename=\"x\"; "
                             "filename*=UTF-8''%E7%8C%AB.png\r\n\r\n"
                             "\r\n--XyZ--\r\nepilogue";
    const MultipartForm form = parse_multipart_form(body, boundary);
    ASSERT_TRUE(form.ok);
    ASSERT_EQ(form.parts.size(), 3u);
    EXPECT_EQ(form.parts[0].name, "list");
    EXPECT_EQ(form.parts[0].filename, "a \"q\".png");
    EXPECT_EQ(body.substr(form.parts[0].offset, form.parts[0].size), "bytes with --XyZ inside");
    EXPECT_EQ(form.parts[1].name, "note");
    EXPECT_FALSE(form.parts[1].has_filename);
    EXPECT_EQ(body.substr(form.parts[1].offset, form.parts[1].size), "text");
    EXPECT_EQ(form.parts[2].filename, "猫.png");
    EXPECT_EQ(form.parts[2].size, 0u);

    EXPECT_EQ(form_boundary("multipart/form-data; boundary=\"XyZ\""), "XyZ");
    EXPECT_EQ(form_boundary("Multipart/Form-Data;boundary=abc"), "abc");
    EXPECT_EQ(form_boundary("application/json"), "");
    // A body cut before its closing delimiter is not a form.
    EXPECT_FALSE(parse_multipart_form("--XyZ\r\n\r\ncut", boundary).ok);
    EXPECT_FALSE(parse_multipart_form("no delimiter at all", boundary).ok);
}

TEST(HttpHeadTest, TakesWellFormedHeadsOnly) {
    HttpHead head;
    ASSERT_TRUE(parse_head("POST /upload?key=a%26b+c&x HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Empty:\r\n"
                           "connection:  Close \r\nContent-Length: 3",
                           head));
    EXPECT_EQ(head.path, "/upload");
    EXPECT_EQ(head.query_value("key"), "a&b c");
    bool present = false;
    EXPECT_EQ(head.query_value("x", &present), "");
    EXPECT_TRUE(present);
    EXPECT_EQ(head.header("CONNECTION"), "Close");
    EXPECT_FALSE(head.keeps_alive());
    EXPECT_TRUE(head.has_header("x-empty"));

    for (const std::string bad :
         {"GET /\r\nHost: a", "GET / HTTP/2\r\nHost: a", "GET / HTTP/1.1\r\n folded: x", "GET / HTTP/1.1\r\nno colon",
          "G(T / HTTP/1.1", "GET /a b HTTP/1.1",
          // Two of a header that decides who is served or where the body ends, or no Host.
          "GET / HTTP/1.1\r\nHost: a\r\nhost: b", "GET / HTTP/1.1\r\nHost: a\r\nOrigin: x\r\nORIGIN: y",
          "POST / HTTP/1.1\r\nHost: a\r\nContent-Length: 3\r\nContent-length: 3",
          "GET / HTTP/1.1\r\nOrigin: app://obsidian.md"}) {
        HttpHead refused;
        EXPECT_FALSE(parse_head(bad, refused)) << bad;
    }
    HttpHead old_client;
    EXPECT_TRUE(parse_head("GET /heartbeat HTTP/1.0", old_client)) << "HTTP/1.0 needs no Host";
    EXPECT_EQ(head_end("GET / HTTP/1.1\r\n\r\nrest"), 18u);
    EXPECT_EQ(head_end("GET / HTTP/1.1\r\n"), 0u);
}

TEST(FileAddressTest, NamesAPathOfThisMachineOnly) {
    for (const auto& [address, path] :
         std::vector<std::pair<std::string, std::string>>{{"file:///tmp/p.png", "/tmp/p.png"},
                                                          {"FILE:///tmp/a%20b%E7%8C%AB.png", "/tmp/a b猫.png"},
                                                          {"file://localhost/tmp/p.png?x#y", "/tmp/p.png"},
                                                          {"file://server/share/p.png", ""},
                                                          {"file:relative.png", ""},
                                                          {"/tmp/p.png", ""}}) {
        EXPECT_EQ(file_address_path(address), path) << address;
    }
}

// The head as the listener gathers it, in any split of the same bytes; with at most 2 header lines.
TEST(HeadGathererTest, GivesTheSameOutcomeForTheSameBytesInAnySplit) {
    struct Case {
        const char* name;
        std::string wire;
        HeadGatherer::State state;
        std::size_t head_size; // when complete
    };
    const std::string two = "GET / HTTP/1.1\r\nHost: a\r\nX-A: b\r\n\r\n";
    const std::vector<Case> cases = {
        {"two header lines", two, HeadGatherer::State::complete, two.size()},
        {"empty lines before the request line", "\r\n\r\n" + two, HeadGatherer::State::complete, two.size()},
        {"three header lines", "GET / HTTP/1.1\r\nHost: a\r\nX-A: b\r\nX-B: c\r\n\r\n",
         HeadGatherer::State::too_large, 0},
        {"not ended", "GET / HTTP/1.1\r\nHost: a\r\n", HeadGatherer::State::more, 0},
        {"over the size", "GET /" + std::string(300, 'a') + " HTTP/1.1\r\n", HeadGatherer::State::too_large, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        // Every place one read can end and the next begin, among them "\r" then "\n…" of a leading empty line and
        // a read that ends inside the final CR LF CR LF.
        for (std::size_t cut = 0; cut <= c.wire.size(); ++cut) {
            SCOPED_TRACE(cut);
            HeadGatherer gatherer(2, 256);
            std::string in = c.wire.substr(0, cut);
            HeadGatherer::State state = gatherer.gather(in);
            if (state == HeadGatherer::State::more) {
                in += c.wire.substr(cut);
                state = gatherer.gather(in);
            }
            ASSERT_EQ(state, c.state);
            if (state != HeadGatherer::State::complete)
                continue;
            ASSERT_EQ(gatherer.size(), c.head_size);
            HttpHead head;
            EXPECT_TRUE(parse_head(std::string_view(in).substr(0, gatherer.size() - 4), head));
            EXPECT_EQ(head.path, "/");
        }
    }
}

} // namespace
} // namespace velpic
