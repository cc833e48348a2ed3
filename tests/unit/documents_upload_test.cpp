#include "base/page_script.h"
#include "documents/upload.h"

#include <gtest/gtest.h>

// The wire format as a whole is checked byte for byte against a server (upload_test.cpp);
// these are the cases a sent request does not show.
TEST(UploadWire, HeaderBreakersInNamesAndTokens) {
    EXPECT_EQ(upload_file_name("/a/x\"y\r\nz.pdf"), "x%22y%0D%0Az.pdf");
    EXPECT_EQ(upload_file_name("/a/"), "document.pdf");
    EXPECT_EQ(upload_file_name("plain.pdf"), "plain.pdf");
    for (std::string ok : {"eyJhbGciOi.J9-_x~+/=", ""}) EXPECT_TRUE(upload_token_fits_header(ok)) << ok;
    for (std::string bad : {std::string("tok\r\nX-Injected: 1"), std::string("tok\nX: 1"), std::string("tok\0en", 6),
                            std::string("tab\there"), std::string("del\x7f")})
        EXPECT_FALSE(upload_token_fits_header(bad)) << bad;
    EXPECT_EQ(file_too_large_text("x", 300u * 1048576u + 600000u),
              "The file \u201cx\u201d is too large to sign (301 MB). The limit is 150 MB.");
}

// Whatever the texts hold, the page gets JSON text within the limit; only an error text is
// ever shortened, whole characters at a time.
TEST(UploadResultText, StaysValidJsonWithinTheLimit) {
    std::string long_path = "/o/" + std::string(4200, 'p');
    std::string quotes;  // escapes are never split: 2032 quote escapes and the ellipsis fill the room
    for (int i = 0; i < 2032; ++i) quotes += "\\\"";
    struct row { upload_result result; std::string json; } rows[] = {
        {{"/o/it's \"a\".pdf", "e\t1", std::nullopt}, R"({"path":"/o/it's \"a\".pdf","envelopeId":"e\t1"})"},
        {{"/o/a.pdf", std::nullopt, std::string("a\0b\x01\xff", 5)}, R"({"path":"/o/a.pdf","error":"a\u0000b\u0001�"})"},
        {{"/o/a.pdf", std::nullopt, std::string(5000, 'x')},
         "{\"path\":\"/o/a.pdf\",\"error\":\"" + std::string(4064, 'x') + "\u2026\"}"},
        {{"/o/a.pdf", std::nullopt, std::string(3000, '"')}, "{\"path\":\"/o/a.pdf\",\"error\":\"" + quotes + "\u2026\"}"},
        {{long_path, "e", std::nullopt}, "{\"path\":\"" + long_path + "\",\"envelopeId\":\"e\"}"},
    };
    for (const row& r : rows) {
        std::string json = upload_result_json(r.result);
        EXPECT_EQ(json, r.json);
        if (r.result.error_text) {
            EXPECT_LT(utf16_length(json), upload_result_json_limit);
        }
    }
}

// Each report: milliseconds since the start, the bytes sent; whether it reaches the page.
TEST(UploadProgress, AFewReportsASecondAndAlwaysTheLast) {
    struct step { int at_ms; std::uint64_t sent; bool due; } steps[] = {
        {0, 100, true},  {100, 200, false}, {249, 300, false}, {250, 400, true},  {300, 400, false},
        {600, 350, false}, {601, 500, true}, {602, 1000, true}, {900, 1000, false},
    };
    progress_throttle throttle;
    auto t0 = std::chrono::steady_clock::now();
    for (const step& s : steps)
        EXPECT_EQ(progress_due(throttle, s.sent, 1000, t0 + std::chrono::milliseconds(s.at_ms)), s.due) << s.at_ms;
}
