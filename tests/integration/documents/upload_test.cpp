#include "base/app_log.h"
#include "base/app_state.h"
#include "base/json_text.h"
#include "base/utf8_path.h"
#include "bridge/dispatch.h"
#include "documents/upload.h"
#include "page_recorder.h"
#include "support/loopback_server.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <regex>

namespace fs = std::filesystem;

namespace {

std::vector<std::pair<std::string, std::string>> notices;

class Upload : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(server.running());
        for (const char* flow_folder : {"/sign-myself", "/request-signature"}) fs::create_directories(out + flow_folder);
        set_app_paths({root.path(), out, "1.0.4"});
        open_app_log(out);
        notices.clear();
        set_file_too_large_notice([](const std::string& caption, const std::string& text) {
            notices.emplace_back(caption, text);
        });
    }
    void TearDown() override {
        set_file_too_large_notice(nullptr);
        close_app_log();
    }
    std::string answer_url(const std::string& body) { return server.url("/respond?status=200&body=" + url_encoded(body)); }
    std::string result_script(const std::string& path, std::optional<std::string> id, std::optional<std::string> error) {
        return upload_result_script(upload_result{path, std::move(id), std::move(error)});
    }
    std::string run(const std::string& path, const std::string& endpoint) {
        page_recorder page;
        upload_worker({path, "tok-123", endpoint, "Name", "SIGN_MYSELF"});
        auto results = page.wait_for_calls(1, "_onUploadResult");
        return results.empty() ? std::string() : results[0];
    }
    std::string log_text() { return read_file(out + "/velunio-print.log"); }

    loopback_server server;
    temp_dir root;
    std::string out = root / "out";
    std::string ok_answer = "{\"data\":{\"alphaCreateEnvelope\":{\"id\":\"env-42\"}}}";
};

}  // namespace

TEST_F(Upload, SendsTheMultipartRequestByteForByte) {
    std::string name = "Vertr\u00e4ge \u201eQ3\u201c \u00e9t\u00e9.pdf";
    std::string path = out + "/sign-myself/" + name;
    std::string content = std::string("%PDF-1.7\n\0\x01\xff binary\r\n--tail", 28);
    write_file(path, content);
    upload_request r{path, "tok-123", answer_url(ok_answer), "Say \"hi\" \\ \u00c4rger\n", "REQUEST_SIGNATURE"};
    page_recorder page;
    upload_worker(r);
    EXPECT_EQ(page.wait_for_calls(1, "_onUploadResult"), std::vector{result_script(path, "env-42", std::nullopt)});
    ASSERT_EQ(server.request_count(), 1);
    std::string head = *server.request_headers(0);
    std::smatch m;
    ASSERT_TRUE(std::regex_search(head, m, std::regex("boundary=(Boundary-[0-9A-F]{16})\r\n")));
    std::string b = m[1];
    // The request line keeps the endpoint's query; libcurl's Accept and Expect lines stay out.
    EXPECT_TRUE(head.starts_with("POST " + r.endpoint.substr(r.endpoint.find("/respond")) + " HTTP/1.1\r\n")) << head;
    for (const char* part : {"Expect:", "Accept:"}) EXPECT_FALSE(contains(head, part)) << part;
    EXPECT_TRUE(contains(head, "\r\nUser-Agent: VelunioPrint/1.0\r\n"));
    EXPECT_TRUE(contains(head, "Content-Type: multipart/form-data; boundary=" + b + "\r\nAuthorization: Bearer tok-123\r\n"
                        "x-client-id: sign-web-client\r\nx-client-secret: Q7rb2Z9TfLwkpe\r\nx-client-version: 1.0.4\r\n"))
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
    EXPECT_TRUE(contains(head, "\r\nContent-Length: " + std::to_string(expected.size()) + "\r\n"));
    EXPECT_TRUE(fs::exists(utf8_path(path)));  // the page removes it when it wants to
    EXPECT_TRUE(contains(log_text(), "[uploadPrintedFile] POST " + r.endpoint +
                                         " (0 KB, proxy=system default) flow=REQUEST_SIGNATURE")) << log_text();
    EXPECT_TRUE(contains(log_text(), "[uploadPrintedFile] HTTP 200 OK -> envelope env-42"));
}

// A file of exactly the limit goes out (load_test.cpp); one byte more is refused.
TEST_F(Upload, OverTheLimitIsDeletedAndTold) {
    std::string over = out + "/request-signature/over.pdf";
    write_file(over, "");
    fs::resize_file(over, upload_size_limit + 1);
    EXPECT_EQ(run(over, answer_url(ok_answer)), result_script(over, std::nullopt, "native_handled"));
    EXPECT_EQ(server.request_count(), 0);
    EXPECT_FALSE(fs::exists(over));
    EXPECT_EQ(notices, (decltype(notices){
                           {"File cannot be signed",
                            "The file \u201cover.pdf\u201d is too large to sign (150 MB). The limit is 150 MB."}}));
    EXPECT_TRUE(contains(log_text(), "[uploadPrintedFile] File too large: 157286401 bytes - deleting and alerting user."));
}

// Every answer ends in one page call with the error text or the id, as JSON text that the page
// reads (its shortening is checked in documents_upload_test.cpp); a request is sent once; the
// file stays.
TEST_F(Upload, EveryAnswerReachesThePageAsValidJson) {
    std::string path = out + "/sign-myself/a.pdf";
    write_file(path, "%PDF");
    const std::string no_id = "Missing envelope id in response", perform = "curl_easy_perform failed (curl ";
    struct row { std::string endpoint; std::optional<std::string> id, error; bool error_is_prefix = false; } rows[] = {
        {server.url("/respond?status=401&body=denied"), std::nullopt, "HTTP 401"},
        {server.url("/respond?status=403&body=%7B%22id%22%3A%22x%22%7D"), std::nullopt, "HTTP 403"},
        {server.url("/respond?status=200"), std::nullopt, "Empty response"},
        {answer_url("{\"errors\":[{\"message\":\"No flow\"}]}"), std::nullopt, "No flow"},
        {answer_url("{\"errors\":[]}"), std::nullopt, "GraphQL error"},
        // An empty id inside the mutation's object does not fall back to another "id".
        {answer_url("{\"data\":{\"alphaCreateEnvelope\":{\"id\":\"\"}},\"id\":\"x\"}"), std::nullopt, no_id},
        {answer_url("{\"data\":{}}"), std::nullopt, no_id},
        {answer_url("{\"id\":\"loose\"}"), "loose", std::nullopt},
        {answer_url("{\"id\":\"first\",\"data\":{\"alphaCreateEnvelope\":{\"id\":\"env-1\"}}}"), "env-1", std::nullopt},
        {"http://127.0.0.1:1/", std::nullopt, perform + "7: ", true},
        {answer_url(std::string("{\"errors\":[{\"message\":\"a") + '\0' + "b\"}]}"), std::nullopt, std::string("a\0b", 3)},
        {answer_url("{\"errors\":[{\"message\":\"a\xff" "b\"}]}"), std::nullopt, "a\uFFFDb"},
        {answer_url("{\"data\":{\"alphaCreateEnvelope\":{\"id\":\"e\\t1\"}}}"), "e\t1", std::nullopt},
    };
    // The page's JSON.parse must take every result.
    std::string page = "const window = {velunio: {_onUploadResult: (text) => JSON.parse(text)}};\n";
    int before = 0;
    for (const row& r : rows) {
        std::string script = run(path, r.endpoint), expected = result_script(path, r.id, r.error);
        if (r.error_is_prefix) expected.resize(expected.size() - std::string("\"}')").size());
        EXPECT_EQ(r.error_is_prefix ? script.substr(0, expected.size()) : script, expected) << r.endpoint;
        EXPECT_EQ(server.request_count() - before, r.endpoint.find(":1/") != std::string::npos ? 0 : 1) << r.endpoint;
        before = server.request_count();
        page += script + ";\n";
    }
    write_file(root / "page.js", page);
    EXPECT_EQ(std::system(("node " + (root / "page.js")).c_str()), 0) << page;
    EXPECT_TRUE(fs::exists(path));
    std::string log = log_text();
    for (const char* line : {"[uploadPrintedFile] HTTP 401: denied", "[uploadPrintedFile] GraphQL error: No flow",
                             "[uploadPrintedFile] Request error: curl_easy_perform failed (curl 7: "})
        EXPECT_TRUE(contains(log, line)) << line;
}

TEST_F(Upload, OnlyPrintedFilesAreReadOrDeleted) {
    std::string big_outside = root / "big.pdf";
    write_file(big_outside, "");
    fs::resize_file(big_outside, upload_size_limit + 1);
    fs::create_symlink(big_outside, out + "/sign-myself/link.pdf");
    fs::create_directories(out + "/sign-myself/folder.pdf");
    for (std::string path : {big_outside, out + "/sign-myself/../../big.pdf", out + "/sign-myself/link.pdf",
                             out + "/velunio-print.log", out + "/sign-myself/folder.pdf", out + "/sign-myself/missing.pdf"})
        EXPECT_EQ(run(path, answer_url(ok_answer)), result_script(path, std::nullopt, "Cannot read file")) << path;
    EXPECT_TRUE(fs::exists(big_outside));
    EXPECT_TRUE(fs::exists(out + "/velunio-print.log"));
    EXPECT_TRUE(notices.empty());
    EXPECT_EQ(server.request_count(), 0);
}

TEST_F(Upload, FileChangingWhileSentFails) {
    std::string path = out + "/sign-myself/moving.pdf";
    write_file(path, "");
    fs::resize_file(path, 64u << 20);
    // The server reads slowly enough that the file is cut while most of it is unsent.
    std::thread cut([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        fs::resize_file(path, 1u << 20);
    });
    std::string result = run(path, server.url("/respond?status=200&rate=1048576"));
    cut.join();
    EXPECT_EQ(result, result_script(path, std::nullopt, "Cannot read file"));
}

TEST_F(Upload, HandlerNeedsAllFiveFields) {
    page_recorder page;
    auto send = [](const std::string& data) { on_web_message_received(bridge_message("uploadPrintedFile", data)); };
    send("{\"path\":\"p\",\"token\":\"t\",\"endpoint\":\"e\",\"envelopeName\":\"n\"}");
    on_web_message_received("{\"handler\":\"uploadPrintedFile\"}");
    EXPECT_TRUE(page.wait_for(1, std::chrono::milliseconds(300)).empty());
    std::string log = log_text(), invalid = "[uploadPrintedFile] Invalid message -- missing required field";
    ASSERT_NE(log.find(invalid), std::string::npos);
    EXPECT_NE(log.find(invalid, log.find(invalid) + 1), std::string::npos);

    std::string path = out + "/sign-myself/h.pdf";
    write_file(path, "x");
    send("{\"path\":" + json_quote(path) + ",\"token\":\"\",\"endpoint\":" + json_quote(answer_url(ok_answer)) +
         ",\"envelopeName\":\"\",\"envelopeFlowType\":\"\"}");
    EXPECT_EQ(page.wait_for_calls(1, "_onUploadResult"), std::vector{result_script(path, "env-42", std::nullopt)});
}
