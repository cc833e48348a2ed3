#include "base/json_text.h"

#include <gtest/gtest.h>

TEST(JsonFindString, FindsValuesAfterBlanksTabsAndColons) {
    EXPECT_EQ(json_find_string(R"({"a":"x"})", "a"), "x");
    EXPECT_EQ(json_find_string("{\"a\" \t: :\t \"x\"}", "a"), "x");
    EXPECT_EQ(json_find_string(R"({"a""x"})", "a"), "x");  // no colon at all
    EXPECT_EQ(json_find_string(R"({"a":""})", "a"), "");
    EXPECT_EQ(json_find_string(R"({"b":"x"})", "a"), std::nullopt);
    EXPECT_EQ(json_find_string("{\"a\":\n\"x\"}", "a"), std::nullopt);
    EXPECT_EQ(json_find_string(R"({"a":5})", "a"), std::nullopt);
    EXPECT_EQ(json_find_string(R"({"a":{"b":"c"}})", "a"), std::nullopt);
    EXPECT_EQ(json_find_string(R"({"a":null})", "a"), std::nullopt);
    EXPECT_EQ(json_find_string(R"({"a")", "a"), std::nullopt);  // truncated after the key
}

TEST(JsonFindString, FirstOccurrenceWinsEvenAsAValue) {
    // "title" first stands as a value; what follows it is a comma, so no string.
    EXPECT_EQ(json_find_string(R"({"message":"title","title":"real"})", "title"), std::nullopt);
    EXPECT_EQ(json_find_string(R"({"m":"a","a":"x"})", "a"), std::nullopt);
    EXPECT_EQ(json_find_string(R"({"m":"a" : "value","a":"x"})", "a"), "value");
    EXPECT_EQ(json_find_string(R"({"outer":{"a":"deep"}})", "a"), "deep");
}

TEST(JsonFindString, EscapesAreDecodedOnlyAsDocumented) {
    EXPECT_EQ(json_find_string(R"({"a":"q\"uote"})", "a"), "q\"uote");
    EXPECT_EQ(json_find_string(R"({"a":"ends\\"})", "a"), "ends\\");
    EXPECT_EQ(json_find_string(R"({"a":"x\\\"y"})", "a"), "x\\\"y");
    EXPECT_EQ(json_find_string(R"({"a":"\t\n\r\/"})", "a"), "\t\n\r/");
    EXPECT_EQ(json_find_string(R"({"a":"\u00e9\b\f"})", "a"), "u00e9bf");
    EXPECT_EQ(json_find_string(R"({"a":"unterminated)", "a"), "unterminated");
    EXPECT_EQ(json_find_string(R"({"a":"trailing\)", "a"), "trailing\\");
    EXPECT_EQ(json_find_string(R"({"a":"é😀"})", "a"), "é😀");
}

TEST(JsonFindString, NestedDataStringDecodesToOrdinaryJson) {
    std::string message = R"({"handler":"uploadPrintedFile","data":"{\"path\":\"C:\\\\x.pdf\",\"token\":\"t\"}"})";
    auto data = json_find_string(message, "data");
    ASSERT_TRUE(data);
    EXPECT_EQ(*data, R"({"path":"C:\\x.pdf","token":"t"})");
    EXPECT_EQ(json_find_string(*data, "path"), "C:\\x.pdf");
}

TEST(JsonFindNestedString, InnerKeyMayLieBeyondTheOuterValue) {
    EXPECT_EQ(json_find_nested_string(R"({"errors":[{"message":"bad"}]})", "errors", "message"), "bad");
    EXPECT_EQ(json_find_nested_string(R"({"errors":[],"message":"later"})", "errors", "message"), "later");
    EXPECT_EQ(json_find_nested_string(R"({"message":"before","errors":[]})", "errors", "message"), std::nullopt);
    EXPECT_EQ(json_find_nested_string(R"({"data":{}})", "errors", "message"), std::nullopt);
    EXPECT_EQ(json_find_nested_string(R"({"data":{"alphaCreateEnvelope":{"id":"env-1"}},"id":"x"})",
                                      "alphaCreateEnvelope", "id"),
              "env-1");
}

TEST(JsonQuote, WritesPlainAsciiLiterals) {
    EXPECT_EQ(json_quote(std::nullopt), "null");
    EXPECT_EQ(json_quote(""), "\"\"");
    EXPECT_EQ(json_quote("\t\xC3\xA9"), "\"\\t\\u00e9\"");
    EXPECT_EQ(json_quote("a/b\"c\\d\n\r"), "\"a/b\\\"c\\\\d\\n\\r\"");
    EXPECT_EQ(json_quote(std::string("\x01\x7f", 2)), "\"\\u0001\\u007f\"");
    EXPECT_EQ(json_quote(std::string("\0", 1)), "\"\\u0000\"");
    EXPECT_EQ(json_quote("\xE2\x80\xA8"), "\"\\u2028\"");
}

TEST(JsonQuote, CharactersAboveBmpBecomeSurrogatePairs) {
    EXPECT_EQ(json_quote("\xF0\x9F\x98\x80"), "\"\\ud83d\\ude00\"");  // U+1F600
    EXPECT_EQ(json_quote("\xF4\x8F\xBF\xBF"), "\"\\udbff\\udfff\"");  // U+10FFFF
}

TEST(JsonQuote, InvalidUtf8BecomesReplacementCharacters) {
    EXPECT_EQ(json_quote("a\xFF" "b"), "\"a\\ufffdb\"");
    EXPECT_EQ(json_quote("\xC3"), "\"\\ufffd\"");                      // truncated sequence
    EXPECT_EQ(json_quote("\xED\xA0\x80"), "\"\\ufffd\\ufffd\\ufffd\"");  // encoded surrogate
    EXPECT_EQ(json_quote("\xC0\xAF"), "\"\\ufffd\\ufffd\"");            // overlong slash
}

TEST(JsEscape, SingleAndDoubleDifferOnlyInTheirQuote) {
    EXPECT_EQ(js_escape_single("a'b\"c\td\\e\nf\rg"), "a\\'b\"c\td\\\\e\\nf\\rg");
    EXPECT_EQ(js_escape_double("a'b\"c\td\\e\nf\rg"), "a'b\\\"c\td\\\\e\\nf\\rg");
    EXPECT_EQ(js_escape_single(""), "");
    EXPECT_EQ(js_escape_single("é😀\xE2\x80\xA8"), "é😀\xE2\x80\xA8");
}

TEST(WideConversion, RoundTripsAndReplacesMalformedInput) {
    std::string text = "a é 😀 \xE2\x80\xA8";
    std::u16string wide = utf8_to_wide(text);
    EXPECT_EQ(wide, u"a é 😀 \u2028");
    EXPECT_EQ(wide_to_utf8(wide), text);
    EXPECT_EQ(utf8_to_wide("x\xFFy"), u"x\uFFFDy");
    EXPECT_EQ(wide_to_utf8(std::u16string(u"a") + char16_t(0xD800) + u"b"), "a\xEF\xBF\xBD" "b");
    EXPECT_EQ(wide_to_utf8(std::u16string(1, char16_t(0xDC00))), "\xEF\xBF\xBD");
}

TEST(SanitizeUtf8, KeepsValidTextAndReplacesBrokenSequences) {
    EXPECT_TRUE(is_valid_utf8("plain é 😀 \xEF\xBF\xBD"));
    EXPECT_FALSE(is_valid_utf8("cut \xE2\x82"));
    EXPECT_EQ(sanitize_utf8("ok é"), "ok é");
    // A 400-byte cut inside a character leaves a broken tail.
    EXPECT_EQ(sanitize_utf8("ab\xE2\x82"), "ab\xEF\xBF\xBD");
    EXPECT_EQ(sanitize_utf8(std::string("\xFE\xFF", 2)), "\xEF\xBF\xBD\xEF\xBF\xBD");
}
