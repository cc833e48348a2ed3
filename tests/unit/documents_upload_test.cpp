#include "documents/upload.h"

#include <gtest/gtest.h>

TEST(UploadWire, BoundaryIsTwoUpperCaseHexWords) {
    EXPECT_EQ(upload_boundary(0x1a2b3c4du, 0xffu), "Boundary-1A2B3C4D000000FF");
    EXPECT_EQ(upload_boundary(0, 0).size(), 25u);
}

TEST(UploadWire, FiveHeadersInOrderWithoutTrailingLineEnd) {
    EXPECT_EQ(upload_header_text("Boundary-X", "tok.en", "1.0.4"),
              "Content-Type: multipart/form-data; boundary=Boundary-X\r\n"
              "Authorization: Bearer tok.en\r\n"
              "x-client-id: sign-web-client\r\n"
              "x-client-secret: Q7rb2Z9TfLwkpe\r\n"
              "x-client-version: 1.0.4");
}

TEST(UploadWire, TokensThatWouldBreakTheHeaderLinesAreRefused) {
    EXPECT_TRUE(upload_token_fits_header("eyJhbGciOi.J9-_x~+/="));
    EXPECT_TRUE(upload_token_fits_header(""));
    EXPECT_FALSE(upload_token_fits_header("tok\r\nX-Injected: 1"));
    EXPECT_FALSE(upload_token_fits_header("tok\nX: 1"));
    EXPECT_FALSE(upload_token_fits_header(std::string("tok\0en", 6)));
    EXPECT_FALSE(upload_token_fits_header("tab\there"));
    EXPECT_FALSE(upload_token_fits_header("del\x7f"));
}

TEST(UploadWire, OperationsEscapeTheNameAndStayAscii) {
    std::string ops = upload_operations_text("A \"b\" c\\d\n\u00e9", "SIGN_MYSELF");
    EXPECT_EQ(ops,
              "{\"query\":\"mutation($in: AlphaCreateEnvelopeRequest!){ alphaCreateEnvelope(in: $in){ id } }\","
              "\"variables\":{\"in\":{\"name\":\"A \\\"b\\\" c\\\\d\\n\\u00e9\",\"envelopeFlowType\":\"SIGN_MYSELF\","
              "\"documents\":[null]}}}");
    for (char c : ops) EXPECT_LT(static_cast<unsigned char>(c), 128u);
}

TEST(UploadWire, FileNameIsTheBaseNameWithHeaderBreakersEncoded) {
    EXPECT_EQ(upload_file_name("/out/sign-myself/R\u00e9sum\u00e9.pdf"), "R\u00e9sum\u00e9.pdf");
    EXPECT_EQ(upload_file_name("plain.pdf"), "plain.pdf");
    EXPECT_EQ(upload_file_name("/a/x\"y\r\nz.pdf"), "x%22y%0D%0Az.pdf");
    EXPECT_EQ(upload_file_name("/a/"), "document.pdf");
    EXPECT_EQ(upload_base_name("/a/b/c.pdf"), "c.pdf");
    EXPECT_EQ(upload_base_name("c.pdf"), "c.pdf");
}

TEST(UploadWire, FrameSurroundsTheFileBytes) {
    upload_body_frame frame = upload_body_frame_for("B", "OPS", "f.pdf");
    EXPECT_EQ(frame.head,
              "--B\r\nContent-Disposition: form-data; name=\"operations\"\r\nContent-Type: application/json\r\n\r\nOPS"
              "\r\n--B\r\nContent-Disposition: form-data; name=\"map\"\r\nContent-Type: application/json\r\n\r\n"
              "{\"0\":[\"variables.in.documents.0\"]}"
              "\r\n--B\r\nContent-Disposition: form-data; name=\"0\"; filename=\"f.pdf\"\r\n"
              "Content-Type: application/pdf\r\n\r\n");
    EXPECT_EQ(frame.tail, "\r\n--B--\r\n");
}

TEST(UploadWire, TooLargeTextRoundsMegabytes) {
    EXPECT_EQ(file_too_large_text("big.pdf", 157286401),
              "The file \u201cbig.pdf\u201d is too large to sign (150 MB). The limit is 150 MB.");
    EXPECT_EQ(file_too_large_text("x", 300u * 1048576u + 600000u), "The file \u201cx\u201d is too large to sign (301 MB). The limit is 150 MB.");
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
    EXPECT_EQ(settle_upload("p", failed).error_text, failed.error_text);

    auto unauthorized = settle_upload("p", answered(401, std::string("{\"data\":{\"alphaCreateEnvelope\":{\"id\":\"x\"}}}")));
    EXPECT_EQ(unauthorized.error_text, "HTTP 401");
    EXPECT_FALSE(unauthorized.envelope_id);

    EXPECT_EQ(settle_upload("p", answered(200, std::nullopt)).error_text, "Empty response");
    EXPECT_EQ(settle_upload("p", answered(200, std::string("{\"errors\":[{\"message\":\"Bad flow\"}]}"))).error_text,
              "Bad flow");
    EXPECT_EQ(settle_upload("p", answered(200, std::string("{\"errors\":[{\"code\":1}]}"))).error_text, "GraphQL error");
    // An empty id inside the mutation's object does not fall back to another "id".
    EXPECT_EQ(settle_upload("p", answered(200, std::string("{\"data\":{\"alphaCreateEnvelope\":{\"id\":\"\"}}}")))
                  .error_text,
              "Missing envelope id in response");
    EXPECT_EQ(settle_upload("p", answered(200, std::string("{\"data\":{}}"))).error_text,
              "Missing envelope id in response");
    auto fallback = settle_upload("p", answered(201, std::string("{\"result\":{\"id\":\"e-9\"}}")));
    EXPECT_EQ(fallback.envelope_id, "e-9");
    EXPECT_FALSE(fallback.error_text);
    auto ok = settle_upload("/o/sign-myself/a.pdf",
                            answered(200, std::string("{\"id\":\"first\",\"data\":{\"alphaCreateEnvelope\":{\"id\":\"env-1\"}}}")));
    EXPECT_EQ(ok.envelope_id, "env-1");
    EXPECT_EQ(ok.path, "/o/sign-myself/a.pdf");
}
