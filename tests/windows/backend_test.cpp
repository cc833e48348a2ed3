// The Windows backends in this process: WinHTTP against the suite's loopback server (the
// upload's request byte for byte: the portable Upload tests), the watcher, the log, the version
// resource, the callback scheme's registry values and the hand-over's receiving side (real
// second starts: window_test.cpp).

#include "app/callback_scheme.h"
#include "app/second_instance.h"
#include "base/app_log.h"
#include "base/platform.h"
#include "base/wide_text.h"
#include "documents/folder_watcher.h"
#include "documents/http_client.h"
#include "page_recorder.h"
#include "support/loopback_server.h"
#include "support/temp_dir.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <set>

namespace fs = std::filesystem;

TEST(WinHttp, AnswersComeBackAsTheyWere) {
    loopback_server server;
    for (auto [path, status, body] : std::vector<std::tuple<std::string, unsigned, std::optional<std::string>>>{
             {"/respond?status=200&body=ok", 200, "ok"},
             {"/respond?status=500&body=it%20broke", 500, "it broke"},
             {"/respond?status=204", 204, std::nullopt}}) {
        SCOPED_TRACE(path);
        // The client-certificate flag is set as the upload sets it; a plain-http request still goes.
        http_result post, get;
        http_post(server.url(path), "X-Test: 1", http_body_from_bytes("x"), true, post);
        http_get(server.url(path), get);
        for (const http_result& r : {post, get})
            EXPECT_EQ(std::tuple(r.error_text, r.status_code, r.response_body, r.response_len),
                      std::tuple(std::optional<std::string>(), status, body, body.value_or("").size()));
    }
    EXPECT_NE(server.request_headers(1).value_or("").find("\r\nUser-Agent: VelunioPrint/1.0\r\n"), std::string::npos);
}

TEST(WinHttp, FailuresNameTheCallAndItsCode) {
    const std::string uncracked = "WinHttpCrackUrl failed \\(WinHTTP \\d+(: .+)?\\)";
    // Host and path longer than the splitter's buffers: refused, not cut.
    for (auto [url, post_error, get_error] : std::vector<std::tuple<std::string, std::string, std::string>>{
             {"http://127.0.0.1:1/", "WinHttpSendRequest failed \\(WinHTTP 12029(: .+)?\\)", "HTTP request failed"},
             {"ftp://127.0.0.1/x", "WinHttpCrackUrl failed \\(WinHTTP 12006(: .+)?\\)", "Cannot parse URL"},
             {"http://" + std::string(256, 'h') + "/", uncracked, "Cannot parse URL"},
             {"http://127.0.0.1/" + std::string(2047, 'p'), uncracked, "Cannot parse URL"}}) {
        http_result post, get;
        http_post(url, std::nullopt, http_body_from_bytes("x"), false, post);
        http_get(url, get);
        EXPECT_TRUE(std::regex_match(post.error_text.value_or(""), std::regex(post_error))) << url.substr(0, 40);
        EXPECT_EQ(get.error_text, get_error) << url.substr(0, 40);
    }
    // The system's text when it has one, none otherwise.
    EXPECT_EQ(winhttp_error_text("WinHttpReadData", 0x2FFFF), "WinHttpReadData failed (WinHTTP 196607)");
    std::string denied = winhttp_error_text("WinHttpOpen", 5);
    EXPECT_TRUE(std::regex_match(denied, std::regex("WinHttpOpen failed \\(WinHTTP 5: .*[^\r\n ]\\)"))) << denied;
}

// PDFs already there or renamed into either flow folder are reported with their flows and the
// platform's separators; other names, and files written in place, are not.
TEST(Watcher, PdfsRenamedIntoEitherFlowFolderAreReportedWithTheirFlow) {
    temp_dir root;
    const std::string out = root.path() + "\\out";
    const std::string sign = out + "\\sign-myself\\", request = out + "\\request-signature\\";
    for (const std::string& folder : {sign, request}) fs::create_directories(folder);
    write_file(sign + "present.pdf", "%PDF");
    page_recorder page;
    std::unique_ptr<printed_file_watcher> watcher = start_printed_file_watcher(out);
    for (auto [from, to] : {std::pair{sign + ".job-1.part", sign + "Job.PDF"},
                            {request + ".job-2.part", request + "b.pdf"},
                            {sign + "c.tmp", sign + "c.txt"}, {request + "d.pdf", request + "d.tmp"}}) {
        write_file(from, "%PDF");
        fs::rename(from, to);
    }
    write_file(sign + "written-in-place.pdf", "%PDF");
    std::set<std::string> expected;
    for (auto [path, flow] : {std::pair{sign + "present.pdf", "sign_myself"}, {sign + "Job.PDF", "sign_myself"},
                              {request + "b.pdf", "request_signature"}})
        expected.insert(new_printed_file_script({path, flow}));
    page.wait_for(expected.size());
    EXPECT_EQ(page.wait_for(expected.size() + 1, std::chrono::milliseconds(500)).size(), expected.size());
    EXPECT_EQ(std::set<std::string>(page.scripts->begin(), page.scripts->end()), expected);
    stop_printed_file_watcher(*watcher);
}

TEST(Log, LinesEndInCrLfAndRotateAt3MiB) {
    temp_dir root;
    std::string path = root.path() + "\\velunio-print.log";
    ASSERT_TRUE(open_app_log(root.path()));
    app_log("first %d", 1);
    const std::string time = "\\d\\d:\\d\\d:\\d\\d";
    const std::string opened = "\r\n--- Velunio Printaro started \\d{4}-\\d\\d-\\d\\d " + time + " ---\r\n";
    EXPECT_TRUE(std::regex_match(read_file(path), std::regex(opened + "\\[" + time + "\\] first 1\r\n")));
    fs::resize_file(path, app_log_rotate_size - 1);
    app_log("below");
    app_log("rotated");
    EXPECT_TRUE(std::regex_match(read_file(path), std::regex("\\[" + time + "\\] rotated\r\n")));
    EXPECT_NE(read_file(path + ".1").find("below\r\n"), std::string::npos);
    close_app_log();
    EXPECT_EQ(read_app_version(), "1.0.4");  // from the executable's version resource
}

TEST(Instance, TheSchemeOpensThisExecutableAndTheReceiverKeepsToTheSizeSent) {
    register_callback_scheme();
    auto value = [](const wchar_t* key, const wchar_t* name) {  // the text and its size with the terminator
        wchar_t text[1024] = {};
        DWORD bytes = sizeof text;
        LSTATUS status = RegGetValueW(HKEY_CURRENT_USER, key, name, RRF_RT_REG_SZ, nullptr, text, &bytes);
        return status == ERROR_SUCCESS ? std::wstring(text) + L"|" + std::to_wstring(bytes) : L"(none)";
    };
    const wchar_t* key = L"Software\\Classes\\velunioprinter";
    EXPECT_EQ(value(key, nullptr), L"URL:velunioprinter Protocol|56");
    EXPECT_EQ(value(key, L"URL Protocol"), L"|2");
    std::wstring command = L"\"" + to_wide(executable_path()) + L"\" \"%1\"";
    EXPECT_EQ(value(L"Software\\Classes\\velunioprinter\\shell\\open\\command", nullptr),
              command + L"|" + std::to_wstring((command.size() + 1) * 2));

    const char16_t text[] = u"velunioprinter://a\0b";
    EXPECT_EQ(copy_data_text(text, 2 * 17), "velunioprinter://");  // no terminator inside the size
    EXPECT_EQ(copy_data_text(text, sizeof text), "velunioprinter://a");
    EXPECT_EQ(copy_data_text(text, 3), "v");  // half a character is not read
    EXPECT_EQ(copy_data_text(nullptr, 8), "");
}
