#include "base/app_log.h"
#include "base/app_state.h"
#include "base/utf8_path.h"
#include "bridge/dispatch.h"
#include "base/json_text.h"
#include "documents/upload.h"
#include "page_recorder.h"
#include "support/loopback_server.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <regex>

namespace fs = std::filesystem;

namespace {

std::vector<std::pair<std::string, std::string>> notices;
void record_notice(const std::string& caption, const std::string& text) { notices.emplace_back(caption, text); }

std::string percent(const std::string& text) {
    std::string out;
    for (unsigned char c : text) {
        char hex[4];
        std::snprintf(hex, sizeof hex, "%%%02X", c);
        out += hex;
    }
    return out;
}

class Upload : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(server.running());
        out = root / "out";
        fs::create_directories(out + "/sign-myself");
        fs::create_directories(out + "/request-signature");
        set_app_paths({root.path(), out, "1.0.4"});
        open_app_log(out);
        notices.clear();
        set_file_too_large_notice(record_notice);
    }
    void TearDown() override {
        set_file_too_large_notice(nullptr);
        close_app_log();
    }
    std::string answer_url(const std::string& body) { return server.url("/respond?status=200&body=" + percent(body)); }
    upload_request request(const std::string& path, const std::string& endpoint) {
        return {path, "tok-123", endpoint, "Name", "SIGN_MYSELF"};
    }
    std::string result_script(const std::string& path, std::optional<std::string> id, std::optional<std::string> error) {
        return upload_result_script(upload_result{path, std::move(id), std::move(error)});
    }
    std::string run(const upload_request& r) {
        page_recorder page;
        upload_worker(r);
        auto& scripts = page.wait_for(1);
        return scripts.empty() ? std::string() : scripts[0];
    }
    std::string log_text() { return read_file(out + "/velunio-print.log"); }

    loopback_server server;
    temp_dir root;
    std::string out;
    std::string ok_answer = "{\"data\":{\"alphaCreateEnvelope\":{\"id\":\"env-42\"}}}";
};

}  // namespace

TEST_F(Upload, SendsTheMultipartRequestByteForByte) {
    std::string name = "Vertr\u00e4ge \u201eQ3\u201c \u00e9t\u00e9.pdf";
    std::string path = out + "/sign-myself/" + name;
    std::string content = std::string("%PDF-1.7\n\0\x01\xff binary\r\n--tail", 28);
    write_file(path, content);
    upload_request r{path, "tok-123", answer_url(ok_answer), "Say \"hi\" \\ \u00c4rger\n", "REQUEST_SIGNATURE"};

    EXPECT_EQ(run(r), result_script(path, "env-42", std::nullopt));
    ASSERT_EQ(server.request_count(), 1);
    std::string head = *server.request_headers(0);
    std::smatch m;
    ASSERT_TRUE(std::regex_search(head, m, std::regex("boundary=(Boundary-[0-9A-F]{16})\r\n")));
    std::string b = m[1];
    EXPECT_NE(head.find("Content-Type: multipart/form-data; boundary=" + b + "\r\nAuthorization: Bearer tok-123\r\n"
                        "x-client-id: sign-web-client\r\nx-client-secret: Q7rb2Z9TfLwkpe\r\nx-client-version: 1.0.4\r\n"),
              std::string::npos)
        << head;
    std::string expected =
        "--" + b + "\r\nContent-Disposition: form-data; name=\"operations\"\r\nContent-Type: application/json\r\n\r\n"
        "{\"query\":\"mutation($in: AlphaCreateEnvelopeRequest!){ alphaCreateEnvelope(in: $in){ id } }\","
        "\"variables\":{\"in\":{\"name\":\"Say \\\"hi\\\" \\\\ \\u00c4rger\\n\",\"envelopeFlowType\":\"REQUEST_SIGNATURE\","
        "\"documents\":[null]}}}\r\n--" + b +
        "\r\nContent-Disposition: form-data; name=\"map\"\r\nContent-Type: application/json\r\n\r\n"
        "{\"0\":[\"variables.in.documents.0\"]}\r\n--" + b +
        "\r\nContent-Disposition: form-data; name=\"0\"; filename=\"" + name +
        "\"\r\nContent-Type: application/pdf\r\n\r\n" + content + "\r\n--" + b + "--\r\n";
    EXPECT_EQ(server.request_body(0), expected);
    EXPECT_NE(head.find("\r\nContent-Length: " + std::to_string(expected.size()) + "\r\n"), std::string::npos);
    EXPECT_TRUE(fs::exists(utf8_path(path)));  // the page removes it when it wants to
    EXPECT_NE(log_text().find("[uploadPrintedFile] POST " + r.endpoint + " (0 KB, proxy=system default) flow=REQUEST_SIGNATURE"),
              std::string::npos);
    EXPECT_NE(log_text().find("[uploadPrintedFile] HTTP 200 OK -> envelope env-42"), std::string::npos);
}

TEST_F(Upload, SizeLimitIsInclusive) {
    std::string at_limit = out + "/sign-myself/at-limit.pdf";
    write_file(at_limit, "");
    fs::resize_file(at_limit, upload_size_limit);  // sparse
    EXPECT_EQ(run(request(at_limit, answer_url(ok_answer))), result_script(at_limit, "env-42", std::nullopt));
    ASSERT_EQ(server.request_count(), 1);
    std::string head = server.request_body_head(0).value_or("");
    std::string tail = server.request_body_tail(0).value_or("");
    EXPECT_EQ(head.rfind("--Boundary-", 0), 0u);
    EXPECT_NE(head.find("filename=\"at-limit.pdf\"\r\nContent-Type: application/pdf\r\n\r\n"), std::string::npos);
    ASSERT_GT(tail.size(), 37u);
    EXPECT_EQ(tail.substr(tail.size() - 37, 4), std::string(4, '\0'));
    EXPECT_EQ(tail.substr(tail.size() - 33, 4), "\r\n--");
    std::size_t frame_bytes = head.find("application/pdf\r\n\r\n") + 19 + 33;
    EXPECT_EQ(server.request_body_length(0), upload_size_limit + frame_bytes);
    EXPECT_TRUE(fs::exists(at_limit));

    std::string over = out + "/request-signature/over.pdf";
    write_file(over, "");
    fs::resize_file(over, upload_size_limit + 1);
    EXPECT_EQ(run(request(over, answer_url(ok_answer))), result_script(over, std::nullopt, "native_handled"));
    EXPECT_EQ(server.request_count(), 1);
    EXPECT_FALSE(fs::exists(over));
    ASSERT_EQ(notices.size(), 1u);
    EXPECT_EQ(notices[0].first, "File cannot be signed");
    EXPECT_EQ(notices[0].second, "The file \u201cover.pdf\u201d is too large to sign (150 MB). The limit is 150 MB.");
    EXPECT_NE(log_text().find("[uploadPrintedFile] File too large: 157286401 bytes - deleting and alerting user."),
              std::string::npos);
}

TEST_F(Upload, ErrorTextsOfTheAnswer) {
    std::string path = out + "/sign-myself/a.pdf";
    write_file(path, "%PDF");
    EXPECT_EQ(run(request(path, server.url("/respond?status=401&body=denied"))), result_script(path, std::nullopt, "HTTP 401"));
    EXPECT_NE(log_text().find("[uploadPrintedFile] HTTP 401: denied"), std::string::npos);
    EXPECT_EQ(run(request(path, server.url("/respond?status=200"))), result_script(path, std::nullopt, "Empty response"));
    EXPECT_EQ(run(request(path, answer_url("{\"errors\":[{\"message\":\"No flow\"}]}"))),
              result_script(path, std::nullopt, "No flow"));
    EXPECT_NE(log_text().find("[uploadPrintedFile] GraphQL error: No flow"), std::string::npos);
    EXPECT_EQ(run(request(path, answer_url("{\"errors\":[]}"))), result_script(path, std::nullopt, "GraphQL error"));
    EXPECT_EQ(run(request(path, answer_url("{\"data\":{\"alphaCreateEnvelope\":{\"id\":\"\"}}}"))),
              result_script(path, std::nullopt, "Missing envelope id in response"));
    EXPECT_EQ(run(request(path, answer_url("{\"id\":\"loose\"}"))), result_script(path, "loose", std::nullopt));
    std::string refused = run(request(path, "http://127.0.0.1:1/"));
    EXPECT_NE(refused.find("curl_easy_perform failed (curl 7: "), std::string::npos) << refused;
    EXPECT_NE(log_text().find("[uploadPrintedFile] Request error: curl_easy_perform failed (curl 7: "), std::string::npos);
    EXPECT_TRUE(fs::exists(path));
}

TEST_F(Upload, OnlyPrintedFilesAreReadOrDeleted) {
    std::string big_outside = root / "big.pdf";
    write_file(big_outside, "");
    fs::resize_file(big_outside, upload_size_limit + 1);
    fs::create_symlink(big_outside, out + "/sign-myself/link.pdf");
    fs::create_directories(out + "/sign-myself/folder.pdf");
    for (std::string path : {big_outside, out + "/sign-myself/../../big.pdf", out + "/sign-myself/link.pdf",
                             out + "/velunio-print.log", out + "/sign-myself/folder.pdf", out + "/sign-myself/missing.pdf"}) {
        EXPECT_EQ(run(request(path, answer_url(ok_answer))), result_script(path, std::nullopt, "Cannot read file")) << path;
    }
    EXPECT_TRUE(fs::exists(big_outside));
    EXPECT_TRUE(fs::exists(out + "/velunio-print.log"));
    EXPECT_TRUE(notices.empty());
    EXPECT_EQ(server.request_count(), 0);
}

TEST_F(Upload, FileChangingWhileSentFails) {
    std::string path = out + "/sign-myself/moving.pdf";
    write_file(path, "");
    fs::resize_file(path, 64u << 20);
    page_recorder page;
    // The server reads slowly enough that the file is cut while most of it is unsent.
    std::thread cut([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        fs::resize_file(path, 1u << 20);
    });
    upload_worker(request(path, server.url("/slow-read")));
    cut.join();
    auto& scripts = page.wait_for(1);
    ASSERT_EQ(scripts.size(), 1u);
    EXPECT_EQ(scripts[0], result_script(path, std::nullopt, "Cannot read file"));
}

TEST_F(Upload, HandlerNeedsAllFiveFields) {
    page_recorder page;
    on_web_message_received("{\"handler\":\"uploadPrintedFile\",\"data\":" +
                            json_quote("{\"path\":\"p\",\"token\":\"t\",\"endpoint\":\"e\",\"envelopeName\":\"n\"}") + "}");
    on_web_message_received("{\"handler\":\"uploadPrintedFile\"}");
    EXPECT_TRUE(page.wait_for(1, std::chrono::milliseconds(300)).empty());
    std::string log = log_text();
    std::size_t first = log.find("[uploadPrintedFile] Invalid message -- missing required field");
    ASSERT_NE(first, std::string::npos);
    EXPECT_NE(log.find("[uploadPrintedFile] Invalid message -- missing required field", first + 1), std::string::npos);

    std::string path = out + "/sign-myself/h.pdf";
    write_file(path, "x");
    on_web_message_received("{\"handler\":\"uploadPrintedFile\",\"data\":" +
                            json_quote("{\"path\":" + json_quote(path) + ",\"token\":\"\",\"endpoint\":" +
                                       json_quote(answer_url(ok_answer)) + ",\"envelopeName\":\"\",\"envelopeFlowType\":\"\"}") +
                            "}");
    auto& scripts = page.wait_for(1);
    ASSERT_EQ(scripts.size(), 1u);
    EXPECT_EQ(scripts[0], result_script(path, "env-42", std::nullopt));
}
