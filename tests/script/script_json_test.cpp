#include "script/js_number.h"
#include "script/script_json.h"

#include "runtime/codepage.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

using namespace velpic;

namespace {

const char* const gitee_answer =
    R"({"content":{"name":"0cc175b9c0f1b6a831c399e269772661.png","path":"0cc175b9c0f1b6a831c399e269772661.png","size":1024,"sha":"4c0e7a1c","type":"file","url":"https://gitee.com/api/v5/repos/o/r/contents/0cc175b9c0f1b6a831c399e269772661.png","html_url":"https://gitee.com/o/r/blob/master/0cc175b9c0f1b6a831c399e269772661.png","download_url":"https://gitee.com/o/r/raw/master/0cc175b9c0f1b6a831c399e269772661.png","_links":{"self":"x","html":"y"}},"commit":{"sha":"8f2a","author":{"name":"o","email":"o@example.com","date":"2026-12-07T07:32:22+00:00"},"committer":{"name":"Gitee","email":"noreply@gitee.com"},"message":"upload","tree":{"sha":"1b"},"parents":[{"sha":"aa","url":"u"}]}})";

} // namespace

TEST(JsNumberText, FollowsNumberToString) {
    EXPECT_EQ(js_number_text(3.5), "3.5");
    EXPECT_EQ(js_number_text(100), "100");
    EXPECT_EQ(js_number_text(-2.25), "-2.25");
    EXPECT_EQ(js_number_text(0.1 + 0.2), "0.30000000000000004");
    EXPECT_EQ(js_number_text(1e20), "100000000000000000000");
    EXPECT_EQ(js_number_text(123456789012345680000.0), "123456789012345680000");
    EXPECT_EQ(js_number_text(1e21), "1e+21");
    EXPECT_EQ(js_number_text(1.5e22), "1.5e+22");
    EXPECT_EQ(js_number_text(0.000001), "0.000001");
    EXPECT_EQ(js_number_text(0.0000015), "0.0000015");
    EXPECT_EQ(js_number_text(1e-7), "1e-7");
    EXPECT_EQ(js_number_text(-1.25e-7), "-1.25e-7");
    EXPECT_EQ(js_number_text(1.7976931348623157e308), "1.7976931348623157e+308");
    EXPECT_EQ(js_number_text(5e-324), "5e-324");
    EXPECT_EQ(js_number_text(0.0), "0");
    EXPECT_EQ(js_number_text(-0.0), "0");
    EXPECT_EQ(js_number_text(std::numeric_limits<double>::quiet_NaN()), "NaN");
    EXPECT_EQ(js_number_text(std::numeric_limits<double>::infinity()), "Infinity");
    EXPECT_EQ(js_number_text(-std::numeric_limits<double>::infinity()), "-Infinity");
}

TEST(ScriptJson, ResolvePathPrefixesTheRootName) {
    ScriptJson json;
    ASSERT_TRUE(json.parse(R"({"x":1,"data":{"y":2},"list":[10,{"z":"a"}],"nil":null})"));

    std::string path;
    EXPECT_TRUE(json.resolve_path(path));
    EXPECT_EQ(path, "da");

    path = "[0]";
    EXPECT_FALSE(json.resolve_path(path));
    EXPECT_EQ(path, "da[0]");

    path = "x";
    EXPECT_TRUE(json.resolve_path(path));
    EXPECT_EQ(path, "da.x");

    path = "da.x"; // already full and existing: unchanged
    EXPECT_TRUE(json.resolve_path(path));
    EXPECT_EQ(path, "da.x");

    path = "da.missing"; // full but denoting nothing: the root name is put in front once more
    EXPECT_FALSE(json.resolve_path(path));
    EXPECT_EQ(path, "da.da.missing");

    path = "data.y"; // begins with the root name's bytes, but names another member
    EXPECT_TRUE(json.resolve_path(path));
    EXPECT_EQ(path, "da.data.y");

    path = "nil";
    EXPECT_FALSE(json.resolve_path(path));
    EXPECT_EQ(path, "da.nil");

    path = "list[1].z";
    EXPECT_TRUE(json.resolve_path(path));
    EXPECT_EQ(path, "da.list[1].z");

    // Every other operation works on its own copy of the path and all path forms reach the same value.
    std::string caller = "list[1]['z']";
    EXPECT_EQ(json.get_text(caller), "a");
    EXPECT_EQ(caller, "list[1]['z']");
    EXPECT_EQ(json.get_text("da.list[1][\"z\"]"), "a");
    EXPECT_EQ(json.get_text(" list [ 1 ] . z "), "a");
    EXPECT_EQ(json.get_text("list['1'].z"), "a");
    EXPECT_EQ(json.get_text("list[1.0].z"), "a");

    ScriptJson array;
    ASSERT_TRUE(array.parse(R"([{"x":"first"},{"x":"second"}])"));
    EXPECT_EQ(array.get_text("[1].x"), "second");
    EXPECT_EQ(array.get_text("[2].x"), "");

    // A path is only ever a member expression: anything else reads nothing and changes nothing.
    EXPECT_EQ(json.get_text("x + 1"), "");
    EXPECT_EQ(json.get_text("x; da = null"), "");
    EXPECT_FALSE(json.set_value("x = 5; y", "1"));
    EXPECT_EQ(json.get_text("x"), "1");
}

TEST(ScriptJson, ReadsTheHostingServiceAnswer) {
    ScriptJson json;
    ASSERT_TRUE(json.parse(gitee_answer, false));
    EXPECT_EQ(json.get_text("content['download_url']"),
              "https://gitee.com/o/r/raw/master/0cc175b9c0f1b6a831c399e269772661.png");
    EXPECT_EQ(json.get_text("content.download_url"), json.get_text("content['download_url']"));
    EXPECT_EQ(json.get_text("message"), "");
    EXPECT_EQ(json.get_text("commit.author.name"), "o");
    EXPECT_EQ(json.get_text("commit.parents[0].sha"), "aa");
    EXPECT_EQ(json.get_text("content.size"), "1024");

    ScriptJson refused;
    ASSERT_TRUE(refused.parse(R"({"message":"A file with this name already exists"})", true));
    EXPECT_EQ(refused.get_text("message"), "A file with this name already exists");
    EXPECT_EQ(refused.get_text("content['download_url']"), "");
    EXPECT_FALSE(refused.exists("content['download_url']"));
}

TEST(ScriptJson, ParseRejectsAnythingButJson) {
    const char* const not_json[] = {
        "<!DOCTYPE html><html><head><title>502 Bad Gateway</title></head><body>nginx</body></html>",
        "   ",
        "1+1",
        "alert(1)",
        "{a:1}",
        "'text'",
        R"({"a":1}; alert(1))",
        R"({"a":1,})",
        "[1,2",
        "null",
    };
    for (const char* text : not_json) {
        for (bool as_literal : {false, true}) {
            ScriptJson json;
            EXPECT_FALSE(json.parse(text, as_literal)) << text;
            EXPECT_EQ(json.to_json(), "null") << text;
            EXPECT_EQ(json.type_of(""), json_type_null) << text;
            EXPECT_EQ(json.get_text("content['download_url']"), "") << text;
        }
    }

    // An empty text leaves nothing at all, not even null.
    ScriptJson empty;
    EXPECT_FALSE(empty.parse(""));
    EXPECT_EQ(empty.to_json(), "");
    EXPECT_EQ(empty.type_of(""), json_type_null);
    EXPECT_FALSE(empty.set_value("x", "1"));
    EXPECT_TRUE(empty.array_add("1", "", true));
    EXPECT_EQ(empty.to_json(), "[1]");

    // Any JSON value may stand at the top level.
    ScriptJson json;
    EXPECT_TRUE(json.parse("[1,\"a\"]"));
    EXPECT_EQ(json.get_text("[1]"), "a");
    EXPECT_TRUE(json.parse("\"plain\""));
    EXPECT_EQ(json.get_text(""), "plain");
    EXPECT_TRUE(json.parse(" 42 "));
    EXPECT_EQ(json.get_number(""), 42);

    // The error record says where reading stopped; an empty text is no syntax error.
    ScriptError error;
    EXPECT_FALSE(json.parse("{\"a\":1,\n \"b\": <b>}", false, &error));
    EXPECT_NE(error.number, 0);
    EXPECT_FALSE(error.description.empty());
    EXPECT_EQ(error.line, 2);
    EXPECT_EQ(error.column, 6);
    EXPECT_EQ(error.text, " \"b\": <b>}");
    EXPECT_FALSE(json.parse("", false, &error));
    EXPECT_EQ(error.number, 0);
    EXPECT_TRUE(json.parse("{}", false, &error));
    EXPECT_EQ(error.number, 0);

    // Nesting deep enough to exhaust the stack of a recursive reader is refused.
    EXPECT_FALSE(json.parse(std::string(200000, '[') + std::string(200000, ']')));
    EXPECT_TRUE(json.parse(std::string(100, '[') + std::string(100, ']')));
}

TEST(ScriptJson, ParseStartsAFreshDocumentWhileCopiesShareOne) {
    ScriptJson json;
    ASSERT_TRUE(json.parse(R"({"a":"1"})"));
    ScriptJson shared = json.copy();
    EXPECT_TRUE(shared.set_value("b", "2"));
    EXPECT_EQ(json.get_text("b"), "2");

    ScriptJson independent = json.get_object("");
    EXPECT_TRUE(independent.set_value("c", "3"));
    EXPECT_EQ(json.get_text("c"), "");

    ASSERT_TRUE(json.parse(R"({"a":"new"})"));
    EXPECT_EQ(json.get_text("a"), "new");
    EXPECT_EQ(shared.get_text("a"), "1");

    EXPECT_TRUE(json.clear());
    EXPECT_EQ(json.to_json(), "{}");
}

TEST(ScriptJson, TypeCodes) {
    ScriptJson json;
    ASSERT_TRUE(json.parse(R"({"b":false,"n":0,"o":{},"a":[],"s":"","z":null})"));
    EXPECT_EQ(json.type_of("b"), json_type_boolean);
    EXPECT_EQ(json.type_of("n"), json_type_number);
    EXPECT_EQ(json.type_of("o"), json_type_object);
    EXPECT_EQ(json.type_of("a"), json_type_array);
    EXPECT_EQ(json.type_of("s"), json_type_string);
    EXPECT_EQ(json.type_of("z"), json_type_null);
    EXPECT_EQ(json.type_of("missing"), json_type_null);
    EXPECT_EQ(json.type_of("missing.deeper.still"), json_type_null);
    EXPECT_EQ(json.type_of(""), json_type_object);
    EXPECT_EQ(json_type_boolean, 1);
    EXPECT_EQ(json_type_number, 2);
    EXPECT_EQ(json_type_object, 4);
    EXPECT_EQ(json_type_array, 5);
    EXPECT_EQ(json_type_string, 6);
}

TEST(ScriptJson, TextFormsFollowTheScriptsToString) {
    ScriptJson json;
    ASSERT_TRUE(json.parse(R"({"f":3.5,"i":100,"big":1e21,"small":0.000001,"tiny":1e-7,"neg":-0,)"
                           R"("large":12345678901234567890,"t":true,"no":false,)"
                           R"("arr":[1,null,"a",[2,[3]],{"k":1},true],"obj":{"k":1},"nil":null,"s":"x"})"));
    EXPECT_EQ(json.get_text("f"), "3.5");
    EXPECT_EQ(json.get_text("i"), "100");
    EXPECT_EQ(json.get_text("big"), "1e+21");
    EXPECT_EQ(json.get_text("small"), "0.000001");
    EXPECT_EQ(json.get_text("tiny"), "1e-7");
    EXPECT_EQ(json.get_text("neg"), "0");
    EXPECT_EQ(json.get_text("large"), "12345678901234567000");
    EXPECT_EQ(json.get_text("t"), "true");
    EXPECT_EQ(json.get_text("no"), "false");
    EXPECT_EQ(json.get_text("arr"), "1,,a,2,3,[object Object],true");
    EXPECT_EQ(json.get_text("obj"), "[object Object]");
    EXPECT_EQ(json.get_text("nil"), "");
    EXPECT_EQ(json.get_text("s"), "x");

    // As JSON: compact, numbers in the same form, null written, nothing at the path gives nothing.
    EXPECT_EQ(json.get_text("arr", true), R"([1,null,"a",[2,[3]],{"k":1},true])");
    EXPECT_EQ(json.get_json("big"), "1e+21");
    EXPECT_EQ(json.get_json("nil"), "null");
    EXPECT_EQ(json.get_json("missing"), "");
    EXPECT_EQ(json.get_text("missing", true), "");

    // Elements read as text only when they are strings; as JSON, any element.
    EXPECT_EQ(json.get_element_text(2, "arr"), "a");
    EXPECT_EQ(json.get_element_text(0, "arr"), "");
    EXPECT_EQ(json.get_element_text(0, "arr", true), "1");
    EXPECT_EQ(json.get_element_text(4, "arr", true), R"({"k":1})");
    EXPECT_EQ(json.get_element_text(9, "arr", true), "");
}

TEST(ScriptJson, JsonMembersKeepInsertionOrder) {
    ScriptJson json;
    ASSERT_TRUE(json.parse(R"({"zeta":1,"alpha":{"b":"x","a":[1,true,{"deep":"d"}]},"mid":"m","dup":1,"dup":2})"));
    std::vector<std::string> names = {"stale"};
    EXPECT_EQ(json.member_names(names, ""), 4);
    EXPECT_EQ(names, (std::vector<std::string>{"zeta", "alpha", "mid", "dup"}));
    EXPECT_EQ(json.get_text("dup"), "2");
    EXPECT_EQ(json.to_json(), R"({"zeta":1,"alpha":{"b":"x","a":[1,true,{"deep":"d"}]},"mid":"m","dup":2})");

    EXPECT_EQ(json.member_names(names, "alpha.a"), 0);
    EXPECT_TRUE(names.empty());
    EXPECT_EQ(json.member_names(names, "mid"), 0);
    EXPECT_EQ(json.array_length("alpha.a"), 3);
    EXPECT_EQ(json.array_length("alpha"), 0);

    std::vector<std::string> values;
    EXPECT_EQ(json.leaf_values(values, "", false), 3);
    EXPECT_EQ(values, (std::vector<std::string>{"1", "m", "2"}));
    EXPECT_EQ(json.leaf_values(values, "", true), 7);
    EXPECT_EQ(values, (std::vector<std::string>{"1", "x", "1", "true", "d", "m", "2"}));
    EXPECT_EQ(json.leaf_values(values, "mid", true), 0);
}

TEST(ScriptJson, SetValueMergesIntoAnExistingObject) {
    ScriptJson json;
    ASSERT_TRUE(json.parse(R"({"cfg":{"name":"old","on":true,"count":1,"nested":{"keep":"k","over":"o"},)"
                           R"("list":[1],"gone":null,"stay":"s"}})"));
    EXPECT_TRUE(json.set_value("cfg",
                               R"({"name":"new","on":false,"count":2,"nested":{"over":"O","add":"a"},)"
                               R"("list":[2,3],"gone":{"x":1},"extra":[true]})",
                               true));
    EXPECT_EQ(json.get_json("cfg"), R"({"name":"new","on":false,"count":2,"nested":{"keep":"k","over":"O","add":"a"},)"
                                    R"("list":[1,2,3],"gone":{"x":1},"stay":"s","extra":[true]})");

    // An empty value stands for an empty object: merged, it changes nothing.
    EXPECT_TRUE(json.set_value("cfg", "", true));
    EXPECT_EQ(json.get_text("cfg.stay"), "s");

    // Where nothing (or no object) is, the value is assigned.
    EXPECT_TRUE(json.set_value("cfg.name", R"({"first":"a"})", true));
    EXPECT_EQ(json.get_json("cfg.name"), R"({"first":"a"})");
    EXPECT_TRUE(json.set_value("fresh", "", true));
    EXPECT_EQ(json.get_json("fresh"), "{}");
    EXPECT_TRUE(json.set_value("num", "12.5", true));
    EXPECT_EQ(json.type_of("num"), json_type_number);

    // Only JSON is taken as a value; script is refused and nothing changes.
    EXPECT_FALSE(json.set_value("cfg", "{name: 'x'}", true));
    EXPECT_FALSE(json.set_value("num", "1+1", true));
    EXPECT_FALSE(json.set_expression("num", "alert(1)"));
    EXPECT_FALSE(json.set_expression("num", ""));
    EXPECT_EQ(json.get_text("num"), "12.5");
    EXPECT_EQ(json.get_text("cfg.name.first"), "a");
    EXPECT_TRUE(json.set_expression("num", "[1,2]"));
    EXPECT_EQ(json.get_json("num"), "[1,2]");

    // A member of nothing cannot be set.
    EXPECT_FALSE(json.set_value("nowhere.x", "1"));
    EXPECT_FALSE(json.set_value("cfg.stay.x", "1"));
}

TEST(ScriptJson, TextValuesRoundTripAndJsonOutputStaysValid) {
    ScriptJson json;
    const std::string tricky = "C:\\dir\\new 'single' \"double\"\r\nnext\tline \\u0041";
    EXPECT_TRUE(json.set_value("path", tricky));
    EXPECT_EQ(json.get_text("path"), tricky);
    EXPECT_EQ(json.get_json("path"), R"("C:\\dir\\new 'single' \"double\"\r\nnext\tline \\u0041")");
    EXPECT_EQ(json.get_text("path", true), json.get_json("path"));

    // Whatever is written as JSON reads back as the same value.
    ScriptJson again;
    ASSERT_TRUE(again.parse(json.to_json()));
    EXPECT_EQ(again.get_text("path"), tricky);

    // Elements stored in text mode are taken as they are, quotes and backslashes included.
    EXPECT_TRUE(json.array_add("it's \\n", "list"));
    EXPECT_TRUE(json.set_element(1, "list", "say \"hi\""));
    EXPECT_EQ(json.get_element_text(0, "list"), "it's \\n");
    EXPECT_EQ(json.get_element_text(1, "list"), "say \"hi\"");
    ASSERT_TRUE(again.parse(json.to_json()));
    EXPECT_EQ(again.get_element_text(1, "list"), "say \"hi\"");

    // Control and invisible characters are written as \u escapes.
    ASSERT_TRUE(json.parse("[\"\\u0001\\u007f\\u2028\\ufeff\"]"));
    EXPECT_EQ(json.to_json(), R"(["\u0001\u007f\u2028\ufeff"])");
}

TEST(ScriptJson, GbkTextsRoundTrip) {
    // 年 (C4EA), 上传 (C9CF B4AB), and a character whose second byte is a backslash (815C).
    const std::string nian = "\xC4\xEA";
    const std::string upload = "\xC9\xCF\xB4\xAB";
    const std::string trail_backslash = "\x81\x5C";
    ASSERT_EQ(to_utf8(trail_backslash).size(), 3u);

    ScriptJson json;
    ASSERT_TRUE(json.parse("{\"" + nian + "\":\"" + upload + "\",\"k\":\"" + trail_backslash + "\"}"));
    EXPECT_EQ(json.get_text(nian), upload);
    EXPECT_EQ(json.get_text("['" + nian + "']"), upload);
    EXPECT_EQ(json.get_text("k"), trail_backslash);
    std::vector<std::string> names;
    ASSERT_EQ(json.member_names(names), 2);
    EXPECT_EQ(names[0], nian);
    EXPECT_EQ(json.to_json(), "{\"" + nian + "\":\"" + upload + "\",\"k\":\"" + trail_backslash + "\"}");

    const std::string message = upload + "\xCA\xA7\xB0\xDC" + trail_backslash + "\\";
    EXPECT_TRUE(json.set_value(upload, message));
    EXPECT_EQ(json.get_text(upload), message);
    EXPECT_EQ(json.get_json(upload), "\"" + upload + "\xCA\xA7\xB0\xDC" + trail_backslash + "\\\\\"");
    std::vector<std::string> values;
    json.leaf_values(values);
    EXPECT_EQ(values.back(), message);
}

TEST(ScriptJson, ArrayAndMemberEditing) {
    ScriptJson json;
    EXPECT_TRUE(json.array_add("b", "items"));
    EXPECT_TRUE(json.array_add("a", "items", false, true));
    EXPECT_TRUE(json.array_add(R"({"n":1})", "items", true));
    EXPECT_FALSE(json.array_add("not json", "items", true));
    EXPECT_EQ(json.get_json("items"), R"(["a","b",{"n":1}])");
    EXPECT_EQ(json.array_length("items"), 3);
    EXPECT_EQ(json.get_element_object(2, "items").get_text("n"), "1");
    EXPECT_EQ(json.get_element_object(7, "items").to_json(), "");

    // array_add turns a non-array into a new array.
    EXPECT_TRUE(json.set_value("word", "x"));
    EXPECT_TRUE(json.array_add("1", "word", true));
    EXPECT_EQ(json.get_json("word"), "[1]");

    EXPECT_TRUE(json.set_element(4, "items", "true", true));
    EXPECT_EQ(json.get_json("items"), R"(["a","b",{"n":1},null,true])");
    EXPECT_FALSE(json.set_element(1, "items", "{bad", true));
    EXPECT_FALSE(json.set_element(100000000, "items", "x"));

    EXPECT_TRUE(json.remove_element(-1, "items"));
    EXPECT_TRUE(json.remove_element(0, "items"));
    EXPECT_FALSE(json.remove_element(5, "items"));
    EXPECT_FALSE(json.remove_element(0, "word.missing"));
    EXPECT_EQ(json.get_json("items"), R"(["b",{"n":1},null])");

    // A deleted element leaves a hole: nothing to read, written as null in the array's JSON and in copies.
    ASSERT_TRUE(json.array_add("hole", "items", false, true));
    EXPECT_TRUE(json.remove_member("items[0]"));
    EXPECT_EQ(json.get_element_text(0, "items", true), "");
    EXPECT_EQ(json.get_element_object(0, "items").to_json(), "");
    EXPECT_EQ(json.type_of("items[0]"), json_type_null);
    EXPECT_EQ(json.get_text("items"), ",b,[object Object],");
    ScriptJson items = json.get_object("items");
    EXPECT_EQ(items.get_element_text(0, "", true), "null");
    EXPECT_EQ(items.to_json(), R"([null,"b",{"n":1},null])");
    EXPECT_EQ(json.get_json("items"), R"([null,"b",{"n":1},null])");
    EXPECT_TRUE(json.remove_element(0, "items"));

    EXPECT_TRUE(json.remove_member("word"));
    EXPECT_FALSE(json.exists("word"));
    EXPECT_FALSE(json.remove_member("")); // the document itself is not a member
    EXPECT_FALSE(json.remove_member("missing.deeper"));
    EXPECT_EQ(json.to_json(), R"({"items":["b",{"n":1},null]})");

    EXPECT_TRUE(json.set_number("n", 0.1 + 0.2));
    EXPECT_EQ(json.get_text("n"), "0.30000000000000004");
    EXPECT_DOUBLE_EQ(json.get_number("n"), 0.1 + 0.2);
    EXPECT_FALSE(json.set_number("inf", std::numeric_limits<double>::infinity()));
    EXPECT_TRUE(json.set_value("s", " 2.5 "));
    EXPECT_EQ(json.get_number("s"), 2.5);
    EXPECT_EQ(json.get_number("items"), 0);
    EXPECT_EQ(json.get_number("missing"), 0);
}

TEST(ScriptJson, LengthsAndCharactersOfArraysAndStrings) {
    ScriptJson json;
    // "汉" is one UTF-16 unit, "😀" (U+1F600) two; the text arrives as JSON escapes so the GBK side plays no part.
    ASSERT_TRUE(json.parse(R"({"a":[1,"x",null],"s":"ab\u6c49\ud83d\ude00","e":"","o":{"length":7},"n":5})"));

    EXPECT_EQ(json.get_text("a.length"), "3");
    EXPECT_EQ(json.type_of("a.length"), json_type_number);
    EXPECT_EQ(json.get_number("a['length']"), 3);
    EXPECT_EQ(json.get_number("s.length"), 5);
    EXPECT_EQ(json.get_text("e.length"), "0");
    EXPECT_EQ(json.get_number("o.length"), 7) << "an object's own member named length wins";
    EXPECT_FALSE(json.exists("n.length"));

    EXPECT_EQ(json.get_text("s[0]"), "a");
    EXPECT_EQ(json.get_text("s['1']"), "b");
    EXPECT_EQ(json.get_text("s[2]"), "\xBA\xBA"); // 汉 in GBK
    EXPECT_EQ(json.get_json("s[2]"), "\"\xBA\xBA\"");
    EXPECT_EQ(json.type_of("s[0]"), json_type_string);
    EXPECT_EQ(json.get_text("s[0].length"), "1");
    EXPECT_EQ(json.get_element_text(1, "s"), "b");
    EXPECT_EQ(json.get_text("s[3]"), "?") << "half of a surrogate pair has no GBK form";
    EXPECT_FALSE(json.exists("s[5]")) << "out of range is undefined";
    EXPECT_FALSE(json.exists("s['01']"));
    EXPECT_FALSE(json.exists("e[0]"));
    EXPECT_EQ(json.get_element_text(0, "a", true), "1");

    // Derived values are read-only: they never become members, and the document does not change.
    const std::string before = json.to_json();
    EXPECT_FALSE(json.set_value("a.length", "9"));
    EXPECT_FALSE(json.set_value("s[0]", "z"));
    EXPECT_FALSE(json.remove_member("a.length"));
    EXPECT_FALSE(json.remove_member("s[0]"));
    EXPECT_FALSE(json.array_add("1", "s.length"));
    EXPECT_EQ(json.to_json(), before);

    // A hole left by a deleted element still counts.
    ASSERT_TRUE(json.remove_member("a[1]"));
    EXPECT_EQ(json.get_number("a.length"), 3);
    EXPECT_TRUE(json.remove_element(0, "a"));
    EXPECT_EQ(json.get_number("a.length"), 2);
}
