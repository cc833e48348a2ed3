#include "base/json_text.h"

#include <gtest/gtest.h>

TEST(JsonFindString, SearchAndDecodingRules) {
    struct row { std::string text, key; std::optional<std::string> value; } rows[] = {
        {R"({"a":"x"})", "a", "x"},
        {"{\"a\" \t: :\t \"x\"}", "a", "x"},
        {R"({"a""x"})", "a", "x"},  // no colon at all
        {R"({"a":""})", "a", ""},
        {R"({"b":"x"})", "a", std::nullopt},
        {"{\"a\":\n\"x\"}", "a", std::nullopt},  // a line break ends the run before the value
        {R"({"a":5})", "a", std::nullopt},
        {R"({"a":{"b":"c"}})", "a", std::nullopt},
        {R"({"a":null})", "a", std::nullopt},
        {R"({"a")", "a", std::nullopt},
        // The first occurrence wins, even as a value: a comma after it means no string.
        {R"({"message":"title","title":"real"})", "title", std::nullopt},
        {R"({"m":"a" : "value","a":"x"})", "a", "value"},
        {R"({"outer":{"a":"deep"}})", "a", "deep"},
        {R"({"a":"q\"uote"})", "a", "q\"uote"},
        {R"({"a":"ends\\"})", "a", "ends\\"},
        {R"({"a":"x\\\"y"})", "a", "x\\\"y"},
        {R"({"a":"\t\n\r\/"})", "a", "\t\n\r/"},
        {R"({"a":"\u00e9\b\f"})", "a", "u00e9bf"},  // no Unicode escape is decoded
        {R"({"a":"unterminated)", "a", "unterminated"},
        {R"({"a":"trailing\)", "a", "trailing\\"},
        {R"({"a":"é😀"})", "a", "é😀"},
    };
    for (const row& r : rows) EXPECT_EQ(json_find_string(r.text, r.key), r.value) << r.text;

    // A bridge message's data string decodes to ordinary JSON text.
    auto data = json_find_string(R"({"handler":"h","data":"{\"path\":\"C:\\\\x.pdf\"}"})", "data");
    EXPECT_EQ(data, R"({"path":"C:\\x.pdf"})");
    EXPECT_EQ(json_find_string(data.value_or(""), "path"), "C:\\x.pdf");
}

TEST(JsonFindNestedString, InnerKeyMayLieBeyondTheOuterValue) {
    EXPECT_EQ(json_find_nested_string(R"({"errors":[{"message":"bad"}]})", "errors", "message"), "bad");
    EXPECT_EQ(json_find_nested_string(R"({"errors":[],"message":"later"})", "errors", "message"), "later");
    EXPECT_EQ(json_find_nested_string(R"({"message":"before","errors":[]})", "errors", "message"), std::nullopt);
    EXPECT_EQ(json_find_nested_string(R"({"data":{}})", "errors", "message"), std::nullopt);
}

TEST(JsonQuote, PlainAsciiLiteralsOfAnyText) {
    struct row { std::optional<std::string> in; std::string out; } rows[] = {
        {std::nullopt, "null"},
        {"", "\"\""},
        {"\t\xC3\xA9", "\"\\t\\u00e9\""},
        {"a/b\"c\\d\n\r", "\"a/b\\\"c\\\\d\\n\\r\""},
        {std::string("\x01\x7f\0", 3), "\"\\u0001\\u007f\\u0000\""},
        {"\xE2\x80\xA8", "\"\\u2028\""},
        {"\xF0\x9F\x98\x80", "\"\\ud83d\\ude00\""},  // above the BMP: a surrogate pair
        {"\xF4\x8F\xBF\xBF", "\"\\udbff\\udfff\""},
        {"a\xFF" "b", "\"a\\ufffdb\""},                  // malformed UTF-8: U+FFFD
        {"\xC3", "\"\\ufffd\""},
        {"\xED\xA0\x80", "\"\\ufffd\\ufffd\\ufffd\""},  // an encoded surrogate
        {"\xC0\xAF", "\"\\ufffd\\ufffd\""},            // an overlong slash
        // Long plain runs are scanned eight bytes at a time; what needs escaping is found anywhere.
        {std::string("abcdefghij\"klmnopqr\x01stuvwxyz0123456\x7f\\") + "\xC3\xA9" + "ABCDEFGH",
         "\"abcdefghij\\\"klmnopqr\\u0001stuvwxyz0123456\\u007f\\\\\\u00e9ABCDEFGH\""},
    };
    for (const row& r : rows) {
        EXPECT_EQ(json_quote(r.in), r.out);
        std::string appended = "x";
        append_json_quote(appended, r.in);
        EXPECT_EQ(appended, "x" + r.out);
    }
}

// The single-quoted form escapes only what ends a script literal; the double-quoted one keeps
// JSON text valid, so every control character is escaped and broken UTF-8 mended.
TEST(JsEscape, SingleQuotedScriptAndJsonContent) {
    EXPECT_EQ(js_escape_single("a'b\"c\td\\e\nf\rg"), "a\\'b\"c\td\\\\e\\nf\\rg");
    EXPECT_EQ(js_escape_single("é😀\xE2\x80\xA8"), "é😀\xE2\x80\xA8");
    EXPECT_EQ(js_escape_double("a'b\"c\td\\e\nf\rg"), "a'b\\\"c\\td\\\\e\\nf\\rg");
    EXPECT_EQ(js_escape_double(std::string("\0\x01\x1f\x7f", 4)), "\\u0000\\u0001\\u001f\x7f");
    EXPECT_EQ(js_escape_double("é😀 \xFF"), "é😀 \xEF\xBF\xBD");
}

TEST(WideConversion, RoundTripsAndReplacesMalformedInput) {
    std::string text = "a é 😀 \xE2\x80\xA8";
    EXPECT_EQ(utf8_to_wide(text), u"a é 😀 \u2028");
    EXPECT_EQ(wide_to_utf8(utf8_to_wide(text)), text);
    EXPECT_EQ(utf8_to_wide("x\xFFy"), u"x\uFFFDy");
    EXPECT_EQ(wide_to_utf8(std::u16string(u"a") + char16_t(0xD800) + u"b"), "a\xEF\xBF\xBD" "b");
    EXPECT_EQ(wide_to_utf8(std::u16string(1, char16_t(0xDC00))), "\xEF\xBF\xBD");
    EXPECT_TRUE(is_valid_utf8("plain é 😀 \xEF\xBF\xBD"));
    EXPECT_FALSE(is_valid_utf8("cut \xE2\x82"));
    EXPECT_EQ(sanitize_utf8("ab\xE2\x82"), "ab\xEF\xBF\xBD");
    EXPECT_EQ(sanitize_utf8(std::string("\xFE\xFF", 2)), "\xEF\xBF\xBD\xEF\xBF\xBD");
}
