#include "bridge/handlers.h"
#include "bridge/window_handlers.h"
#include "base/page_script.h"
#include "window/ui_files.h"
#include "window/web_view_scripts.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <vector>

namespace {

// Records what the handlers ask of the desktop and the page.
struct fake_shell {
    std::vector<std::string> calls;
    bool deeplink_installed = false;

    fake_shell() {
        window_shell s;
        s.show_alert = [this](const std::string& c, const std::string& t) { calls.push_back("alert " + c + "|" + t); };
        s.bring_to_front = [this] { calls.push_back("front"); };
        s.open_uri = [this](const std::string& u) { calls.push_back("open " + u); };
        s.deeplink_handler_installed = [this] { return deeplink_installed; };
        s.apply_window_size = [this](int w, int h) { calls.push_back("size " + std::to_string(w) + "x" + std::to_string(h)); };
        s.set_background = [this](rgb_colour c) {
            calls.push_back("bg " + std::to_string(c.r) + "," + std::to_string(c.g) + "," + std::to_string(c.b));
        };
        set_window_shell(std::move(s));
        set_page_script_runner([this](const std::string& script) { calls.push_back("page " + script); });
    }
    ~fake_shell() {
        set_window_shell({});
        set_page_script_runner(nullptr);
    }
};

const std::string deeplink_answer = "page window.velunio&&typeof window.velunio._onDeeplinkResult==='function'&&"
                                    "window.velunio._onDeeplinkResult(";

}  // namespace

TEST(WindowHandlers, EachMessageAsksTheDesktopForWhatItShould) {
    struct { void (*handler)(const handler_data&); handler_data data; bool deeplink_installed; std::vector<std::string> calls; } cases[] = {
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
        fake_shell shell;
        shell.deeplink_installed = c.deeplink_installed;
        c.handler(c.data);
        EXPECT_EQ(shell.calls, c.calls) << (c.data ? *c.data : "(no data)");
    }
}

TEST(UiFiles, RequestsAreAnsweredWithTheFileOrAStatusThePageReads) {
    namespace fs = std::filesystem;
    fs::path root = fs::temp_directory_path() / ("velunio-ui-test-" + std::to_string(::getpid()));
    fs::remove_all(root);
    fs::create_directories(root / "ui" / "js");
    fs::create_directories(root / "ui2");
    std::ofstream(root / "ui" / "js" / "app one.js") << "1";
    std::ofstream(root / "ui" / "index.html") << "2";
    std::ofstream(root / "outside.txt") << "secret";
    std::ofstream(root / "ui2" / "b.js") << "3";
    fs::create_symlink(root / "outside.txt", root / "ui" / "link.txt");
    fs::create_directory_symlink(root, root / "ui" / "up");
    // A sibling folder whose name begins with the UI folder's is still outside it.
    fs::create_directory_symlink(root / "ui2", root / "ui" / "side");
    std::string ui = (root / "ui").string(), real = fs::canonical(root / "ui").string();

    struct { const char* uri; const char* path; int status; std::string file; } cases[] = {
        {"velunio-ui://app/", "/", 200, real + "/index.html"},
        {"velunio-ui://app/js/app%20one.js?x=1#top", "/js/app%20one.js?x=1#top", 200, real + "/js/app one.js"},
        {"velunio-ui://app/./js//app%20one.js", "/./js//app%20one.js", 200, real + "/js/app one.js"},
        {"velunio-ui://app/missing.js", "/missing.js", 404, ""},
        {"velunio-ui://app/js", "/js", 404, ""},
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
        ui_answer a = answer_ui_request(ui, c.uri, c.path);
        EXPECT_EQ(a.status, c.status) << c.path << ": " << a.why;
        EXPECT_EQ(a.file, c.file) << c.path;
    }
    fs::remove_all(root);
}

TEST(UiFiles, MimeTypesAndNavigation) {
    for (auto [name, type] : {std::pair{"index.html", "text/html"}, {"/x/app.MJS", "text/javascript"},
                              {"a.woff2", "font/woff2"}, {"a.svg", "image/svg+xml"}, {"dir.d/noext", "application/octet-stream"}})
        EXPECT_EQ(ui_mime_type(name), type) << name;
    EXPECT_TRUE(ui_navigation_allowed("velunio-ui://app/index.html#x"));
    EXPECT_TRUE(ui_navigation_allowed("VELUNIO-UI://APP/index.html"));
    EXPECT_FALSE(ui_navigation_allowed("velunio-ui://app.evil/index.html"));
    EXPECT_FALSE(ui_navigation_allowed("https://example.invalid/"));
    EXPECT_FALSE(ui_navigation_allowed("velunio-ui://app"));
}

// The page is written against these exact texts.
TEST(WebViewScripts, DocumentScriptIsVersionShimAndHook) {
    const std::string shim =
        "(function(){if(!window.webkit)window.webkit={};if(!window.webkit.messageHandlers)window.webkit.messageHandlers={};['showAlert','bringToFront','openBrowser','resizeWindow','setWindowBackground','httpGet','postToken','startFileWatcher','uploadPrintedFile','deletePrintedFile','clearPrintedFiles'].forEach(function(n){window.webkit.messageHandlers[n]={postMessage:function(d){window.chrome.webview.postMessage(JSON.stringify({handler:n,data:d===undefined?null:d}));}};});})();";
    const std::string hook =
        "(function(){['log','warn','error','info'].forEach(function(m){var orig=console[m].bind(console);console[m]=function(){var s=Array.prototype.slice.call(arguments).map(function(a){try{return typeof a==='object'?JSON.stringify(a):String(a);}catch(e){return String(a);}}).join(' ');window.chrome&&window.chrome.webview&&window.chrome.webview.postMessage(JSON.stringify({handler:'__log__',data:m+': '+s}));orig.apply(console,arguments);};});})();";
    EXPECT_EQ(document_creation_script("1.0.4"), "window.__VELUNIO_APP_VERSION__='1.0.4';\n" + shim + "\n" + hook);
    // A quote in the version cannot end the string early.
    EXPECT_EQ(document_creation_script("1'x").rfind("window.__VELUNIO_APP_VERSION__='1\\'x';\n", 0), 0u);
}
