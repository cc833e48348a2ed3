#include "base/page_script.h"
#include "documents/upload.h"

#include <gtest/gtest.h>

TEST(UploadWire, BoundaryHeadersAndOperations) {
    EXPECT_EQ(upload_boundary(0x1a2b3c4du, 0xffu), "Boundary-1A2B3C4D000000FF");
    EXPECT_EQ(upload_header_text("Boundary-X", "tok.en", "1.0.4"),
              "Content-Type: multipart/form-data; boundary=Boundary-X\r\n"
              "Authorization: Bearer tok.en\r\n"
              "x-client-id: sign-web-client\r\n"
              "x-client-secret: Q7rb2Z9TfLwkpe\r\n"
              "x-client-version: 1.0.4");
    std::string ops = upload_operations_text("A \"b\" c\\d\n\u00e9", "SIGN_MYSELF");
    EXPECT_EQ(ops,
              "{\"query\":\"mutation($in: AlphaCreateEnvelopeRequest!){ alphaCreateEnvelope(in: $in){ id } }\","
              "\"variables\":{\"in\":{\"name\":\"A \\\"b\\\" c\\\\d\\n\\u00e9\",\"envelopeFlowType\":\"SIGN_MYSELF\","
              "\"documents\":[null]}}}");
    for (char c : ops) EXPECT_LT(static_cast<unsigned char>(c), 128u);
}

TEST(UploadWire, TokensThatWouldBreakTheHeaderLinesAreRefused) {
    for (std::string ok : {"eyJhbGciOi.J9-_x~+/=", ""}) EXPECT_TRUE(upload_token_fits_header(ok)) << ok;
    for (std::string bad : {std::string("tok\r\nX-Injected: 1"), std::string("tok\nX: 1"), std::string("tok\0en", 6),
                            std::string("tab\there"), std::string("del\x7f")})
        EXPECT_FALSE(upload_token_fits_header(bad)) << bad;
}

TEST(UploadWire, FileNamesAndFrame) {
    EXPECT_EQ(upload_file_name("/out/sign-myself/R\u00e9sum\u00e9.pdf"), "R\u00e9sum\u00e9.pdf");
    EXPECT_EQ(upload_file_name("plain.pdf"), "plain.pdf");
    EXPECT_EQ(upload_file_name("/a/x\"y\r\nz.pdf"), "x%22y%0D%0Az.pdf");
    EXPECT_EQ(upload_file_name("/a/"), "document.pdf");
    upload_body_frame frame = upload_body_frame_for("B", "OPS", "f.pdf");
    EXPECT_EQ(frame.head,
              "--B\r\nContent-Disposition: form-data; name=\"operations\"\r\nContent-Type: application/json\r\n\r\nOPS"
              "\r\n--B\r\nContent-Disposition: form-data; name=\"map\"\r\nContent-Type: application/json\r\n\r\n"
              "{\"0\":[\"variables.in.documents.0\"]}"
              "\r\n--B\r\nContent-Disposition: form-data; name=\"0\"; filename=\"f.pdf\"\r\n"
              "Content-Type: application/pdf\r\n\r\n");
    EXPECT_EQ(frame.tail, "\r\n--B--\r\n");
    EXPECT_EQ(file_too_large_text("x", 300u * 1048576u + 600000u),
              "The file \u201cx\u201d is too large to sign (301 MB). The limit is 150 MB.");
}

namespace {

http_result answered(unsigned status, std::optional<std::string> body) {
    http_result r;
    r.status_code = status;
    if (body) r.response_len = body->size();
    r.response_body = std::move(body);
    return r;
}

}  // namespace

TEST(UploadSettle, EveryOutcomeOfTheAnswer) {
    http_result failed;
    failed.error_text = "curl_easy_perform failed (curl 7: Couldn't connect)";
    struct row {
        http_result outcome;
        std::optional<std::string> id, error;
    } rows[] = {
        {failed, std::nullopt, failed.error_text},
        {answered(401, "{\"data\":{\"alphaCreateEnvelope\":{\"id\":\"x\"}}}"), std::nullopt, "HTTP 401"},
        {answered(200, std::nullopt), std::nullopt, "Empty response"},
        {answered(200, "{\"errors\":[{\"message\":\"Bad flow\"}]}"), std::nullopt, "Bad flow"},
        {answered(200, "{\"errors\":[{\"code\":1}]}"), std::nullopt, "GraphQL error"},
        // An empty id inside the mutation's object does not fall back to another "id".
        {answered(200, "{\"data\":{\"alphaCreateEnvelope\":{\"id\":\"\"}},\"id\":\"x\"}"), std::nullopt,
         "Missing envelope id in response"},
        {answered(200, "{\"data\":{}}"), std::nullopt, "Missing envelope id in response"},
        {answered(201, "{\"result\":{\"id\":\"e-9\"}}"), "e-9", std::nullopt},
        {answered(200, "{\"id\":\"first\",\"data\":{\"alphaCreateEnvelope\":{\"id\":\"env-1\"}}}"), "env-1", std::nullopt},
    };
    for (const row& r : rows) {
        upload_result result = settle_upload("/o/a.pdf", r.outcome);
        EXPECT_EQ(result.path, "/o/a.pdf");
        EXPECT_EQ(result.envelope_id, r.id) << r.outcome.response_body.value_or("");
        EXPECT_EQ(result.error_text, r.error) << r.outcome.response_body.value_or("");
    }
}

// Whatever the texts hold, the page gets JSON text within the limit; only an error text is
// ever shortened, whole characters at a time.
TEST(UploadResultText, StaysValidJsonWithinTheLimit) {
    std::string long_path = "/o/" + std::string(4200, 'p');
    std::string quotes;  // escapes are never split: 2032 quote escapes and the ellipsis fill the room
    for (int i = 0; i < 2032; ++i) quotes += "\\\"";
    struct row {
        upload_result result;
        std::string json;
    } rows[] = {
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
    struct step {
        int at_ms;
        std::uint64_t sent;
        bool due;
    } steps[] = {
        {0, 100, true},  {100, 200, false}, {249, 300, false}, {250, 400, true},  {300, 400, false},
        {600, 350, false}, {601, 500, true}, {602, 1000, true}, {900, 1000, false},
    };
    progress_throttle throttle;
    auto t0 = std::chrono::steady_clock::now();
    for (const step& s : steps)
        EXPECT_EQ(progress_due(throttle, s.sent, 1000, t0 + std::chrono::milliseconds(s.at_ms)), s.due) << s.at_ms;
}
