#include "upload/contents_api.h"
#include "upload/contents_lookup.h"
#include "upload/contents_request_body.h"
#include "upload/encoders.h"
#include "upload/git_blob.h"

#include "runtime/codepage.h"
#include "runtime/gbk_text.h"
#include "support/temp_dir.h"
#include "support/test_service.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdlib>
#include <fstream>

namespace velpic {
namespace {

using test::ServiceAnswer;
using test::TestService;

const std::string kPath = "0123456789abcdef0123456789abcdef.png";

// Commits the bytes "hello" and gives what the user would be shown: the address, or the reason.
std::string commit_hello(const std::string& owner, const std::string& repo, const std::string& path,
                         const std::string& access_token, const std::string& message) {
    const ContentsApiResult result = contents_api_create_file(owner, repo, path, access_token, "hello", message);
    return result.ok ? result.address : result.reason;
}

// The body written out whole, in UTF-8: what the streamed body must read as.
std::string whole_body(const std::string& access_token, const std::string& base64, const std::string& message) {
    return to_utf8("{\"access_token\":\"" + json_string_escape(access_token) + "\",\r\n\"content\":\"" + base64 +
                   "\",\r\n\"message\":\"" + json_string_escape(message) + "\"}");
}

class ContentsApiTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(service.running());
        setenv("VELPIC_SERVICE_BASE", service.base().c_str(), 1);
    }
    void TearDown() override { unsetenv("VELPIC_SERVICE_BASE"); }

    std::string upload(const std::string& message = "m upload") {
        return commit_hello("alice", "pics", kPath, "tok", message);
    }
    ContentsApiResult create() { return contents_api_create_file("alice", "pics", kPath, "tok", "hello", "m"); }
    std::string prefix() const { return service.base() + "alice/pics/raw/master/"; }
    void preset(int status, const std::string& body) {
        ServiceAnswer answer;
        answer.status = status;
        answer.body = body;
        service.preset_answer("POST", "/api/v5/repos/alice/pics/contents/" + kPath, answer);
    }

    TestService service;
};

TEST_F(ContentsApiTest, SendsThePostWithItsHeadersInOrderAndTheBodyAsUtf8) {
    const std::string message = utf8_to_gbk("2021年11月27日9时5分30秒 upload");
    const std::string result = upload(message);

    EXPECT_EQ(result, service.base() + "alice/pics/raw/master/" + kPath);
    auto requests = service.requests();
    ASSERT_EQ(requests.size(), 1u);
    const auto& request = requests[0];
    EXPECT_EQ(request.method, "POST");
    EXPECT_EQ(request.target, "/api/v5/repos/alice/pics/contents/" + kPath);
    EXPECT_EQ(request.body, "{\"access_token\":\"tok\",\r\n\"content\":\"aGVsbG8=\",\r\n"
                            "\"message\":\"2021\xE5\xB9\xB4"
                            "11\xE6\x9C\x88"
                            "27\xE6\x97\xA5"
                            "9\xE6\x97\xB6"
                            "5\xE5\x88\x86"
                            "30\xE7\xA7\x92 upload\"}");
    EXPECT_EQ(request.header("Content-Type"), "application/json;charset=UTF-8");
    EXPECT_EQ(request.header("User-Agent"), std::string(upload_user_agent));
    EXPECT_GT(request.header_position("Content-Type"), 0u);
    EXPECT_GT(request.header_position("User-Agent"), request.header_position("Content-Type"));
    EXPECT_EQ(service.file("alice", "pics", kPath)->bytes, "hello");
}

TEST_F(ContentsApiTest, APicturesBodyIsPinnedByteForByteAndReadsAlikeFromAnyOffset) {
    // A token with a quote and a double-byte character, a message with "年", a tab and a quote.
    const std::string token = "to\"k\xC4\xEA";
    const std::string message = "2021\xC4\xEA \"up\"\tload";
    const std::string picture("\x89PNG\r\n\x1a\n\0\x01\xFF", 11);
    service.set_access_token(to_utf8(token));
    ASSERT_TRUE(contents_api_create_file("alice", "pics", kPath, token, picture, message).ok);
    ASSERT_EQ(service.requests().size(), 1u);
    const std::string pinned = "{\"access_token\":\"to\\\"k\xE5\xB9\xB4\",\r\n"
                               "\"content\":\"iVBORw0KGgoAAf8=\",\r\n"
                               "\"message\":\"2021\xE5\xB9\xB4 \\\"up\\\"\\tload\"}";
    EXPECT_EQ(service.requests()[0].body, pinned);
    EXPECT_EQ(service.file("alice", "pics", kPath)->bytes, picture);

    // The streamed body is the text body of the Base64 text, at every length of the last group, and any stretch of
    // it reads the same as that stretch of the whole.
    std::string bytes;
    for (int size = 0; size < 40; ++size) {
        const ContentsRequestBody body(token, bytes, message);
        const std::string whole = whole_body(token, base64_encode(bytes), message);
        ASSERT_EQ(body.size(), whole.size()) << size;
        for (std::size_t offset = 0; offset <= whole.size(); offset += 3)
            for (std::size_t length : {1u, 2u, 5u, 7u, 64u}) {
                std::string piece(length, '#');
                piece.resize(body.read(offset, piece.data(), length));
                ASSERT_EQ(piece, whole.substr(offset, length)) << size << " " << offset << " " << length;
            }
        bytes += static_cast<char>(size * 37 + 11);
    }
}

TEST_F(ContentsApiTest, ALargePictureArrivesWholeThroughTheStreamedBody) {
    std::string picture(3 * 1024 * 1024 + 1, '\0');
    for (std::size_t i = 0; i < picture.size(); ++i)
        picture[i] = static_cast<char>((i * 2654435761u) >> 13);
    ASSERT_TRUE(contents_api_create_file("alice", "pics", kPath, "tok", picture, "m").ok);
    ASSERT_TRUE(service.file("alice", "pics", kPath));
    EXPECT_TRUE(service.file("alice", "pics", kPath)->bytes == picture);
    EXPECT_EQ(service.requests()[0].header("Content-Length"), std::to_string(service.requests()[0].body.size()));
}

TEST_F(ContentsApiTest, ReadsTheAnswerByTheDecisionTable) {
    // The service's own refusals come back as its message.
    service.set_access_token("other");
    EXPECT_EQ(to_utf8(upload()), "访问令牌错误或已失效（HTTP 401：401 Unauthorized: Access token does not exist）");
    service.set_access_token("");
    ASSERT_EQ(upload(), service.base() + "alice/pics/raw/master/" + kPath);
    EXPECT_EQ(upload(), utf8_to_gbk("文件名已存在"));

    const std::string unknown = utf8_to_gbk("错误未知：[");
    preset(200, R"({"message":"m"})");
    EXPECT_EQ(upload(), "m");
    preset(201, R"({"content":{"download_url":"https://x/y"}})");
    EXPECT_EQ(upload(), "https://x/y");
    const std::string both = R"({"content":{"download_url":"https://x/y"},"message":"m"})";
    preset(201, both);
    EXPECT_EQ(upload(), unknown + both + "]");
    preset(200, "");
    EXPECT_EQ(upload(), unknown + "]");
    // A failing status says why in Chinese; of a page only its text.
    preset(502, "<html><body>Bad Gateway</body></html>");
    EXPECT_EQ(to_utf8(upload()), "服务器出错（HTTP 502：Bad Gateway）");
    preset(200, R"({"content":{"sha":"1"}})");
    EXPECT_EQ(upload(), unknown + R"({"content":{"sha":"1"}})" + "]");
}

TEST_F(ContentsApiTest, OnlyTheParsedAddressOfAWholeAnswerCounts) {
    auto refused = [&](int status, const std::string& body, test::Delivery delivery = {}) {
        test::ServiceAnswer answer;
        answer.status = status;
        answer.body = body;
        answer.delivery = delivery;
        service.preset_answer("POST", "/api/v5/repos/alice/pics/contents/" + kPath, answer);
        ContentsApiResult result = create();
        EXPECT_FALSE(result.ok) << body;
        EXPECT_EQ(result.address, "") << body;
        return result;
    };
    auto with_address = [](const std::string& address) {
        return R"({"content":{"download_url":")" + address + R"("}})";
    };
    const std::string good = prefix() + kPath;
    ASSERT_TRUE(contents_api_create_file("alice", "pics", kPath, "tok", "hello", "m").ok);

    // Texts that merely hold the prefix: both members, a page quoting it, an answer cut right after it.
    refused(201, R"({"content":{"download_url":")" + good + R"("},"message":"m"})");
    EXPECT_TRUE(refused(502, "<p>" + good + "</p>").maybe_stored);
    const std::string whole = R"({"content":{"download_url":")" + good + R"(","sha":"1"}})";
    ContentsApiResult cut = refused(201, whole, test::Delivery::body_cut_after(whole.find(R"(,"sha")")));
    EXPECT_EQ(to_utf8(cut.reason), "服务器的回答不完整（transfer closed with 12 bytes remaining to read）");
    EXPECT_TRUE(cut.maybe_stored);
    refused(201, with_address(to_utf8("错误未知：[") + good + "]"));

    // The prefix must begin the address, a file name must follow it, and no control byte may stand in it.
    EXPECT_EQ(refused(201, with_address("javascript:alert(1)//" + good)).reason, "javascript:alert(1)//" + good);
    refused(201, with_address("http://other.example/?u=" + good));
    refused(201, with_address(prefix()));
    EXPECT_EQ(refused(201, with_address(good + R"(\nX-Injected: 1)")).reason, good + "\\x0AX-Injected: 1");
    refused(201, with_address(good + R"(\u0007)"));

    // Exactly the file committed: no segment that climbs out, encoded or not, and no other name.
    const std::string climbs = "../../../../mallory/other/raw/master/" + kPath;
    EXPECT_EQ(refused(201, with_address(prefix() + climbs)).reason, prefix() + climbs);
    for (const std::string& other :
         {"%2e%2e/%2E%2E/%2e%2e/%2e%2e/mallory/other/raw/master/" + kPath, "./" + kPath, "x/../" + kPath,
          std::string("x.png"), kPath + "/", kPath + "?raw=1", kPath + "#x", kPath + " ", "/" + kPath,
          std::string("0123456789ABCDEF0123456789ABCDEF.png"), kPath.substr(0, kPath.size() - 1)})
        refused(201, with_address(prefix() + other));
    // A long answer naming another file is no better.
    refused(201, R"({"content":{"download_url":")" + prefix() + "x.png" + R"(","pad":")" + std::string(900 << 10, 'p') +
                     R"("}})");
}

TEST(CommittedFileAddress, IsThePrefixAndThePlainFileNameExactly) {
    setenv("VELPIC_SERVICE_BASE", "https://example.test/", 1);
    const std::string prefix = "https://example.test/alice/pics/raw/master/";
    EXPECT_TRUE(is_committed_file_address(prefix + kPath, "alice", "pics", kPath));
    // Names that are no plain file name are never accepted, even when the address repeats them faithfully.
    for (const std::string& path : {std::string(), std::string("."), std::string(".."), std::string("../x.png"),
                                    std::string("a/b.png"), std::string("a\\b.png"), std::string("a\nb.png")})
        EXPECT_FALSE(is_committed_file_address(prefix + path, "alice", "pics", path)) << path;
    EXPECT_FALSE(is_committed_file_address(prefix + kPath, "alice", "other", kPath));
    EXPECT_FALSE(is_committed_file_address(prefix + kPath, "Alice", "pics", kPath));
    unsetenv("VELPIC_SERVICE_BASE");
}

TEST_F(ContentsApiTest, ARedirectIsNeverFollowedWithTheToken) {
    const std::string elsewhere = service.base_for_host("localhost") + "api/v5/repos/alice/pics/contents/" + kPath;
    for (int status : {301, 302, 303, 307, 308}) {
        service.preset_answer("POST", "/api/v5/repos/alice/pics/contents/" + kPath,
                              ServiceAnswer::redirect(status, elsewhere));
        ContentsApiResult result = create();
        EXPECT_FALSE(result.ok) << status;
        EXPECT_NE(result.reason.find(elsewhere), std::string::npos) << status;
        EXPECT_FALSE(result.maybe_stored);
    }
    EXPECT_EQ(service.count_requests("POST"), 5u);
    for (const auto& request : service.requests())
        EXPECT_EQ(request.header("Host"), "127.0.0.1:" + std::to_string(service.port()));
    EXPECT_FALSE(service.file("alice", "pics", kPath));
}

TEST_F(ContentsApiTest, NamesThatWouldChangeTheApiPathAreRefusedBeforeAnyRequest) {
    const std::string refused_names[][2] = {
        {"alice/pics/contents/evil?", "x"},
        {"alice", "pics/contents/evil#"},
        {"..", "pics"},
        {"alice", ""},
        {"a b", "pics"},
    };
    for (const auto& [owner, repo] : refused_names) {
        ContentsApiResult result = contents_api_create_file(owner, repo, kPath, "tok", "hello", "m");
        EXPECT_FALSE(result.ok) << owner << " " << repo;
        EXPECT_TRUE(to_utf8(result.reason).starts_with("仓库所有者或仓库名无效")) << to_utf8(result.reason);
    }
    EXPECT_TRUE(service.requests().empty());
    EXPECT_FALSE(service.file("alice", "pics", "evil"));
}

TEST_F(ContentsApiTest, ReadsTheServicesUtf8AnswerAsText) {
    preset(400, "{\"message\":\"\xE4\xBB\x93\xE5\xBA\x93\xE4\xB8\x8D\xE5\xAD\x98\xE5\x9C\xA8\"}");
    EXPECT_EQ(upload(), utf8_to_gbk("仓库不存在"));
    // Bytes that are not UTF-8 are read as received; of a page only its text is shown.
    preset(502, "<p>\xC4\xEA</p>");
    EXPECT_EQ(to_utf8(upload()), "服务器出错（HTTP 502：年）");
}

TEST_F(ContentsApiTest, FailuresWithoutAWholeAnswerSayWhy) {
    // Lost after the commit: the file may be there, which the caller can find out.
    service.preset_delivery("POST", "/api/v5/repos/alice/pics/contents/" + kPath, test::Delivery::dropped());
    ContentsApiResult dropped = create();
    EXPECT_FALSE(dropped.ok);
    EXPECT_EQ(to_utf8(dropped.reason), "服务器未回答就关闭了连接（Empty reply from server）");
    EXPECT_TRUE(dropped.maybe_stored);
    EXPECT_TRUE(service.file("alice", "pics", kPath));

    // An answer past the limit is not read to its end.
    preset(201,
           R"({"content":{"download_url":")" + prefix() + kPath + R"("},"x":")" + std::string(2 << 20, 'x') + R"("})");
    ContentsApiResult large = create();
    EXPECT_FALSE(large.ok);
    EXPECT_EQ(to_utf8(large.reason), "服务器的回答超过 1048576 字节的上限");

    service.stop();
    ContentsApiResult refused = create();
    EXPECT_TRUE(to_utf8(refused.reason).starts_with("无法连接到服务器（Failed to connect")) << to_utf8(refused.reason);
    EXPECT_FALSE(refused.maybe_stored);
    EXPECT_EQ(upload(), refused.reason);
}

TEST_F(ContentsApiTest, EscapesQuotesAndBackslashesWithoutTouchingDoubleByteCharacters) {
    // 0x81 0x5C is one GBK character whose trail byte is a backslash: it must pass whole.
    const std::string message = "say \"hi\" \\ \x81\x5C\n";
    const std::string token = "to\"k";
    service.set_access_token(token);
    ASSERT_EQ(commit_hello("alice", "pics", kPath, token, message), service.base() + "alice/pics/raw/master/" + kPath);
    EXPECT_EQ(service.file("alice", "pics", kPath)->commit_message, to_utf8(message));

    EXPECT_EQ(json_string_escape("plain ascii 123"), "plain ascii 123");
    EXPECT_EQ(json_string_escape("\x81\x5C\"\t\x01"), "\x81\x5C\\\"\\t\\u0001");

    // A lead byte followed by a quote is no character: the quote must still be escaped, or the body breaks.
    EXPECT_EQ(json_string_escape("\x81\"}"), "?\\\"}");
    EXPECT_EQ(json_string_escape("x\xFE"), "x?");
    service.set_access_token("");
    const std::string stray = "a\x81\",\"content\":\"b";
    const std::string path = "fedcba9876543210fedcba9876543210.png";
    ASSERT_EQ(commit_hello("alice", "pics", path, "tok", stray), service.base() + "alice/pics/raw/master/" + path);
    EXPECT_EQ(service.file("alice", "pics", path)->bytes, "hello");

    // A pair the code page cannot map stays one character wide, so the escaped quote after it stays escaped.
    const std::string unmappable = "fedcba9876543210fedcba9876543211.png";
    ASSERT_EQ(commit_hello("alice", "pics", unmappable, "tok", "\xA7\x90\xC4\xEA\"x"),
              service.base() + "alice/pics/raw/master/" + unmappable);
    EXPECT_EQ(service.file("alice", "pics", unmappable)->commit_message, "?年\"x");
}

TEST_F(ContentsApiTest, LooksUpWhatIsStoredUnderAPath) {
    // The token travels as a query value: characters that mean something in a query are %-encoded.
    const std::string token = "a&b=c d#%";
    service.set_access_token(token);
    service.put_file("alice", "pics", kPath, "hello\n");
    StoredContents found = contents_api_lookup("alice", "pics", kPath, token);
    ASSERT_EQ(found.kind, StoredContents::Kind::file) << to_utf8(found.reason);
    EXPECT_EQ(found.sha, "ce013625030ba8dba906f756967f9e9ca394464a"); // git hash-object of "hello\n"
    EXPECT_EQ(found.download_url, service.download_url("alice", "pics", kPath));
    EXPECT_EQ(text_lower(service.requests().back().target),
              "/api/v5/repos/alice/pics/contents/" + kPath + "?access_token=a%26b%3dc%20d%23%25");

    const std::string missing = "fedcba9876543210fedcba9876543210.png";
    EXPECT_EQ(contents_api_lookup("alice", "pics", missing, token).kind, StoredContents::Kind::absent);
    service.set_missing_path_answer(TestService::MissingPath::not_found);
    EXPECT_EQ(contents_api_lookup("alice", "pics", missing, token).kind, StoredContents::Kind::absent);
    StoredContents refused = contents_api_lookup("alice", "pics", kPath, "wrong");
    EXPECT_EQ(refused.kind, StoredContents::Kind::unknown);
    EXPECT_EQ(to_utf8(refused.reason), "访问令牌错误或已失效（HTTP 401：401 Unauthorized: Access token does not exist）");

    EXPECT_EQ(git_blob_sha1(""), "e69de29bb2d1d6434b8b29ae775ad8c2e48c5391");
    EXPECT_EQ(git_blob_sha1(std::string("a\0b", 3)), "20b5be91886d0b6f26dc98a225c0dac05fe2c86e");
}

TEST_F(ContentsApiTest, APathThatWouldLeaveThePathPartOfTheRequestIsEncoded) {
    // From a file named "a.x?y" or the like: without the encoding the rest would become the request's query.
    const std::string path = "0123456789abcdef0123456789abcdef.x?ref=dev#top%41\r\n";
    EXPECT_EQ(contents_endpoint("alice", "pics", path),
              service.base() +
                  "api/v5/repos/alice/pics/contents/0123456789abcdef0123456789abcdef.x%3Fref=dev%23top%2541%0D%0A");
    contents_api_create_file("alice", "pics", path, "tok", "hello", "m");
    ASSERT_EQ(service.requests().size(), 1u);
    EXPECT_EQ(service.requests()[0].path, "/api/v5/repos/alice/pics/contents/" + path);
    EXPECT_TRUE(service.file("alice", "pics", path));
}

TEST(ContentsApiAddresses, AreBuiltFromTheServiceBaseWithoutEncoding) {
    setenv("VELPIC_SERVICE_BASE", "https://example.test/", 1);
    EXPECT_EQ(raw_address_prefix("alice", "pics"), "https://example.test/alice/pics/raw/master/");
    EXPECT_EQ(contents_endpoint("a b", "r", "x.png"), "https://example.test/api/v5/repos/a b/r/contents/x.png");
    unsetenv("VELPIC_SERVICE_BASE");
    EXPECT_EQ(raw_address_prefix("alice", "pics"), "https://gitee.com/alice/pics/raw/master/");
}

TEST(ContentsApiTls, SendsTheTokenOnlyToAServerWhoseCertificateVerifies) {
    TestService service(TestService::Transport::tls);
    ASSERT_TRUE(service.running());
    setenv("VELPIC_SERVICE_BASE", service.base().c_str(), 1);
    unsetenv("VELPIC_CA_FILE");
    const std::string refused = utf8_to_gbk("证书验证失败（SSL certificate problem: self-signed certificate）");
    EXPECT_EQ(commit_hello("alice", "pics", kPath, "tok", "m"), refused);
    EXPECT_EQ(contents_api_create_file("alice", "pics", kPath, "tok", "hello", "m").reason, refused);
    EXPECT_EQ(service.requests().size(), 0u);

    test::TempDir dir;
    std::ofstream(dir.file("ca.pem")) << service.certificate_pem();
    setenv("VELPIC_CA_FILE", dir.file("ca.pem").c_str(), 1);
    EXPECT_EQ(commit_hello("alice", "pics", kPath, "tok", "m"), service.base() + "alice/pics/raw/master/" + kPath);
    const std::string other = "fedcba9876543210fedcba9876543210.png";
    EXPECT_TRUE(contents_api_create_file("alice", "pics", other, "tok", "hello", "m").ok);
    EXPECT_EQ(service.file("alice", "pics", other)->bytes, "hello");
    unsetenv("VELPIC_CA_FILE");
    unsetenv("VELPIC_SERVICE_BASE");
}

} // namespace
} // namespace velpic
