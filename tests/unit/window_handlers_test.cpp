#include "base/page_script.h"
#include "bridge/handlers.h"
#include "bridge/window_handlers.h"
#include "support/temp_dir.h"
#include "window/ui_files.h"
#include "window/web_view_scripts.h"

#include <gtest/gtest.h>

#include <filesystem>

// What each message asks of the desktop and the page, recorded by a fake shell.
TEST(WindowHandlers, EachMessageAsksTheDesktopForWhatItShould) {
    const std::string deeplink_answer =
        "page window.velunio&&typeof window.velunio._onDeeplinkResult==='function'&&window.velunio._onDeeplinkResult(";
    struct {
        void (*handler)(const handler_data&);
        handler_data data;
        bool deeplink_installed;
        std::vector<std::string> calls;
    } cases[] = {
        {handler_show_alert, R"({"message":"only text"})", false, {"alert Velunio|only text"}},
        {handler_show_alert, std::nullopt, false, {"alert Velunio|"}},
        {handler_show_alert, R"({"title":"T","message":"M"})", false, {"alert T|M"}},
        {handler_bring_to_front, std::nullopt, false, {"front"}},
        {handler_resize_window, std::nullopt, false, {}},
        {handler_resize_window, "home-with-banner", false, {"size 514x498"}},
        {handler_resize_window, "home", false, {"size 514x414"}},
        {handler_resize_window, "Home", false, {"size 424x414"}},
        {handler_set_window_background, std::nullopt, false, {}},
        {handler_set_window_background, "#fff", false, {}},
        {handler_set_window_background, "1e90ff0", false, {}},
        {handler_set_window_background, "#1e90ff", false, {"bg 30,144,255"}},
        {handler_set_window_background, "#ffffff80", false, {"bg 255,255,255"}},
        {handler_set_window_background, "#12345g", false, {"bg 1,35,69"}},
        {handler_set_window_background, "#zzzzzz", false, {"bg 0,0,0"}},
        // Only web addresses and the service's own deep links leave the program.
        {handler_open_browser, std::nullopt, false, {}},
        {handler_open_browser, "", false, {}},
        {handler_open_browser, "file:///etc/passwd", false, {}},
        {handler_open_browser, "/usr/bin/xterm", false, {}},
        {handler_open_browser, "javascript:alert(1)", false, {}},
        {handler_open_browser, "HTTPS://example.invalid/a", false, {"open HTTPS://example.invalid/a"}},
        {handler_open_browser, "http://example.invalid/b", false, {"open http://example.invalid/b"}},
        {handler_open_browser, "VELUNIO://sign/1", false, {deeplink_answer + "false)"}},
        {handler_open_browser, "velunio://sign/2", true, {"open velunio://sign/2", deeplink_answer + "true)"}},
    };
    for (const auto& c : cases) {
        std::vector<std::string> calls;
        auto record = [&](const std::string& call) { calls.push_back(call); };
        set_window_shell({[&](const std::string& caption, const std::string& text) { record("alert " + caption + "|" + text); },
                          [&] { record("front"); }, [&](const std::string& uri) { record("open " + uri); },
                          [&] { return c.deeplink_installed; },
                          [&](int w, int h) { record("size " + std::to_string(w) + "x" + std::to_string(h)); },
                          [&](rgb_colour rgb) {
                              record("bg " + std::to_string(rgb.r) + "," + std::to_string(rgb.g) + "," + std::to_string(rgb.b));
                          }});
        set_page_script_runner([&](const std::string& script) { record("page " + script); });
        c.handler(c.data);
        EXPECT_EQ(calls, c.calls) << (c.data ? *c.data : "(no data)");
    }
    set_window_shell({});
    set_page_script_runner(nullptr);
}

// Only files inside the page's folder are served; the page reads the status of the rest (the
// host's own 404s are checked under a display in host_test.cpp).
TEST(UiFiles, RequestsAreAnsweredWithTheFileOrAStatusThePageReads) {
    namespace fs = std::filesystem;
    temp_dir root;
    fs::create_directories(root / "ui/js");
    fs::create_directories(root / "ui2");
    write_file(root / "ui/js/app one.js", "1");
    write_file(root / "ui/index.html", "2");
    write_file(root / "outside.txt", "secret");
    write_file(root / "ui2/b.js", "3");
    fs::create_symlink(root / "outside.txt", root / "ui/link.txt");
    fs::create_directory_symlink(root.path(), root / "ui/up");
    // A sibling folder whose name begins with the UI folder's is still outside it.
    fs::create_directory_symlink(root / "ui2", root / "ui/side");
    std::string real = fs::canonical(root / "ui").string();
    struct { const char* uri; const char* path; int status; std::string file; } cases[] = {
        {"velunio-ui://app/", "/", 200, real + "/index.html"},
        {"velunio-ui://app/js/app%20one.js?x=1#top", "/js/app%20one.js?x=1#top", 200, real + "/js/app one.js"},
        {"velunio-ui://app/./js//app%20one.js", "/./js//app%20one.js", 200, real + "/js/app one.js"},
        {"velunio-ui://app/link.txt", "/link.txt", 404, ""},
        {"velunio-ui://app/up/outside.txt", "/up/outside.txt", 404, ""},
        {"velunio-ui://app/side/b.js", "/side/b.js", 404, ""},
        {"velunio-ui://app.evil/index.html", "/index.html", 404, ""},
        {"velunio-ui://app/../secret", "/../secret", 400, ""},
        {"velunio-ui://app/", "/a/%2e%2e/%2e%2e/secret", 400, ""},
        {"velunio-ui://app/", "/a%2F..%2Fb", 400, ""},
        {"velunio-ui://app/", "/a%5cb", 400, ""},
        {"velunio-ui://app/", "/a%00.html", 400, ""},
        {"velunio-ui://app/", "/a%4", 400, ""},
        {"velunio-ui://app/", "/a%zz", 400, ""},
    };
    for (const auto& c : cases) {
        ui_answer a = answer_ui_request(root / "ui", c.uri, c.path);
        EXPECT_EQ(a.status, c.status) << c.path << ": " << a.why;
        EXPECT_EQ(a.file, c.file) << c.path;
    }
}

TEST(UiFiles, MimeTypesAndNavigation) {
    for (auto [name, type] : {std::pair{"index.html", "text/html"}, {"/x/app.MJS", "text/javascript"}, {"a.woff2", "font/woff2"},
                              {"a.svg", "image/svg+xml"}, {"dir.d/noext", "application/octet-stream"}})
        EXPECT_EQ(ui_mime_type(name), type) << name;
    for (auto [uri, allowed] : {std::pair{"velunio-ui://app/index.html#x", true}, {"VELUNIO-UI://APP/index.html", true},
                                {"velunio-ui://app.evil/index.html", false}, {"https://example.invalid/", false},
                                {"velunio-ui://app", false}})
        EXPECT_EQ(ui_navigation_allowed(uri), allowed) << uri;
}

// A quote in the version cannot end the page's string early (the rest of the injected script
// is exercised by the page in host_test.cpp).
TEST(WebViewScripts, TheVersionIsQuotedInTheDocumentScript) {
    EXPECT_TRUE(document_creation_script("1'x").starts_with("window.__VELUNIO_APP_VERSION__='1\\'x';\n"));
}
