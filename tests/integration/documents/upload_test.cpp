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
        auto results = page.wait_for_calls(1, "_onUploadResult");
        return results.empty() ? std::string() : results[0];
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

// A file of exactly the limit goes out (load_test.cpp); one byte more is refused.
TEST_F(Upload, OverTheLimitIsDeletedAndTold) {
    std::string over = out + "/request-signature/over.pdf";
    write_file(over, "");
    fs::resize_file(over, upload_size_limit + 1);
    EXPECT_EQ(run(request(over, answer_url(ok_answer))), result_script(over, std::nullopt, "native_handled"));
    EXPECT_EQ(server.request_count(), 0);
    EXPECT_FALSE(fs::exists(over));
    ASSERT_EQ(notices.size(), 1u);
    EXPECT_EQ(notices[0].first, "File cannot be signed");
    EXPECT_EQ(notices[0].second, "The file \u201cover.pdf\u201d is too large to sign (150 MB). The limit is 150 MB.");
    EXPECT_NE(log_text().find("[uploadPrintedFile] File too large: 157286401 bytes - deleting and alerting user."),
              std::string::npos);
}

// Every answer ends in one page call whose JSON text the page's JSON.parse accepts, with the
// error text (shortened where it had to be) or the id; a request is sent once; the file stays.
TEST_F(Upload, EveryAnswerReachesThePageAsValidJson) {
    std::string path = out + "/sign-myself/a.pdf";
    write_file(path, "%PDF");
    enum check { exact, prefix, shortened };
    struct row {
        std::string endpoint;
        std::optional<std::string> id, error;
        check how;
    } rows[] = {
        {server.url("/respond?status=401&body=denied"), std::nullopt, "HTTP 401", exact},
        {server.url("/respond?status=403&body=%7B%22id%22%3A%22x%22%7D"), std::nullopt, "HTTP 403", exact},
        {server.url("/respond?status=200"), std::nullopt, "Empty response", exact},
        {answer_url("{\"errors\":[{\"message\":\"No flow\"}]}"), std::nullopt, "No flow", exact},
        {answer_url("{\"errors\":[]}"), std::nullopt, "GraphQL error", exact},
        // An empty id inside the mutation's object does not fall back to another "id".
        {answer_url("{\"data\":{\"alphaCreateEnvelope\":{\"id\":\"\"}},\"id\":\"x\"}"), std::nullopt,
         "Missing envelope id in response", exact},
        {answer_url("{\"data\":{}}"), std::nullopt, "Missing envelope id in response", exact},
        {answer_url("{\"id\":\"loose\"}"), "loose", std::nullopt, exact},
        {answer_url("{\"id\":\"first\",\"data\":{\"alphaCreateEnvelope\":{\"id\":\"env-1\"}}}"), "env-1", std::nullopt, exact},
        {"http://127.0.0.1:1/", std::nullopt, "curl_easy_perform failed (curl 7: ", prefix},
        {server.url("/reset"), std::nullopt, "curl_easy_perform failed (curl ", prefix},
        {answer_url("{\"errors\":[{\"message\":\"a\\tb\"}]}"), std::nullopt, "a\tb", exact},
        {answer_url(std::string("{\"errors\":[{\"message\":\"a") + '\0' + "b\"}]}"), std::nullopt, std::string("a\0b", 3), exact},
        {answer_url("{\"errors\":[{\"message\":\"a\xff" "b\"}]}"), std::nullopt, "a\uFFFDb", exact},
        {server.url("/long-error?n=5000"), std::nullopt, std::string(5000, 'm'), shortened},
        {answer_url("{\"data\":{\"alphaCreateEnvelope\":{\"id\":\"e\\t1\"}}}"), "e\t1", std::nullopt, exact},
    };
    std::string cases = "[";
    int before = 0;
    for (const row& r : rows) {
        std::string script = run(request(path, r.endpoint));
        int requests = r.endpoint.find(":1/") != std::string::npos ? 0 : 1;
        EXPECT_EQ(server.request_count() - before, requests) << r.endpoint;
        before = server.request_count();
        cases += std::string(cases.size() > 1 ? "," : "") + "{\"script\":" + json_quote(script) + ",\"path\":" +
                 json_quote(path) + ",\"id\":" + json_quote(r.id) + ",\"error\":" + json_quote(r.error) +
                 ",\"how\":" + std::to_string(r.how) + "}";
    }
    write_file(root / "cases.json", cases + "]");
    write_file(root / "check.js", R"(
const cases = JSON.parse(require('fs').readFileSync(0, 'utf8'));
const bad = [];
cases.forEach((c, n) => {
  const calls = [];
  try {
    new Function('window', c.script)({ velunio: { _onUploadResult: (t) => calls.push(t) } });
    const o = JSON.parse(calls[0]);
    const got = c.id !== null ? o.envelopeId : o.error, want = c.id !== null ? c.id : c.error;
    const ok = [got === want, got.startsWith(want), got.endsWith('\u2026') && want.startsWith(got.slice(0, -1))][c.how];
    if (calls.length !== 1 || !ok || o.path !== c.path || calls[0].length >= 4096) bad.push(n + ': ' + calls[0]);
  } catch (e) { bad.push(n + ': ' + e + ' in ' + c.script); }
});
console.log(bad.join('\n'));
process.exit(bad.length ? 1 : 0);
)");
    std::string command = "node " + (root / "check.js") + " < " + (root / "cases.json") + " 2>&1";
    FILE* node = ::popen(command.c_str(), "r");
    ASSERT_NE(node, nullptr);
    std::string output;
    char buffer[4096];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, node)) > 0;) output.append(buffer, n);
    EXPECT_EQ(::pclose(node), 0) << output;
    EXPECT_TRUE(fs::exists(path));
    std::string log = log_text();
    for (const char* line : {"[uploadPrintedFile] HTTP 401: denied", "[uploadPrintedFile] GraphQL error: No flow",
                             "[uploadPrintedFile] Request error: curl_easy_perform failed (curl 7: "})
        EXPECT_NE(log.find(line), std::string::npos) << line;
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
    auto results = page.wait_for_calls(1, "_onUploadResult");
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0], result_script(path, std::nullopt, "Cannot read file"));
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
    auto results = page.wait_for_calls(1, "_onUploadResult");
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0], result_script(path, "env-42", std::nullopt));
}
