#include "base/app_log.h"
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

struct fake_shell {
    std::vector<std::string> calls;
    bool deeplink_installed = false;
    std::vector<std::string> scripts;

    void install() {
        window_shell s;
        s.show_alert = [this](const std::string& c, const std::string& t) { calls.push_back("alert " + c + "|" + t); };
        s.bring_to_front = [this] { calls.push_back("front"); };
        s.open_uri = [this](const std::string& u) { calls.push_back("open " + u); };
        s.deeplink_handler_installed = [this] { return deeplink_installed; };
        s.apply_window_size = [this](int w, int h) {
            calls.push_back("size " + std::to_string(w) + "x" + std::to_string(h));
        };
        s.set_background = [this](rgb_colour c) {
            calls.push_back("bg " + std::to_string(c.r) + "," + std::to_string(c.g) + "," + std::to_string(c.b));
        };
        set_window_shell(std::move(s));
        set_page_script_runner([this](const std::string& script) { scripts.push_back(script); });
    }
    ~fake_shell() {
        set_window_shell({});
        set_page_script_runner(nullptr);
    }
};

}  // namespace

TEST(WindowHandlers, ScreenSizes) {
    EXPECT_EQ(screen_size_for("home-with-banner"), (screen_size{514, 498}));
    EXPECT_EQ(screen_size_for("home"), (screen_size{514, 414}));
    EXPECT_EQ(screen_size_for("Home"), (screen_size{424, 414}));
    EXPECT_EQ(screen_size_for(""), (screen_size{424, 414}));
}

TEST(WindowHandlers, ColourParsing) {
    EXPECT_FALSE(parse_window_colour("#abc"));
    EXPECT_FALSE(parse_window_colour("1e90ff0"));
    EXPECT_EQ(parse_window_colour("#1e90ff"), (rgb_colour{0x1e, 0x90, 0xff}));
    EXPECT_EQ(parse_window_colour("#ffffff80"), (rgb_colour{255, 255, 255}));
    EXPECT_EQ(parse_window_colour("#12345g"), (rgb_colour{0x01, 0x23, 0x45}));
    EXPECT_EQ(parse_window_colour("#zzzzzz"), (rgb_colour{0, 0, 0}));
}

TEST(WindowHandlers, AlertCaptionAndText) {
    fake_shell shell;
    shell.install();
    handler_show_alert(std::string(R"({"message":"only text"})"));
    handler_show_alert(std::nullopt);
    handler_show_alert(std::string(R"({"title":"T","message":"M"})"));
    EXPECT_EQ(shell.calls, (std::vector<std::string>{"alert Velunio|only text", "alert Velunio|", "alert T|M"}));
}

TEST(WindowHandlers, OpenBrowserOnlyWebAndDeepLinks) {
    fake_shell shell;
    shell.install();
    handler_open_browser(std::string(""));
    handler_open_browser(std::nullopt);
    handler_open_browser(std::string("file:///etc/passwd"));
    handler_open_browser(std::string("/usr/bin/xterm"));
    handler_open_browser(std::string("javascript:alert(1)"));
    EXPECT_TRUE(shell.calls.empty());
    EXPECT_TRUE(shell.scripts.empty());

    handler_open_browser(std::string("HTTPS://example.invalid/a"));
    handler_open_browser(std::string("http://example.invalid/b"));
    EXPECT_EQ(shell.calls,
              (std::vector<std::string>{"open HTTPS://example.invalid/a", "open http://example.invalid/b"}));
    EXPECT_TRUE(shell.scripts.empty());
}

TEST(WindowHandlers, DeepLinkOpenedOnlyWithHandlerAndAnswered) {
    fake_shell shell;
    shell.install();
    handler_open_browser(std::string("VELUNIO://sign/1"));
    EXPECT_TRUE(shell.calls.empty());
    ASSERT_EQ(shell.scripts.size(), 1u);
    EXPECT_EQ(shell.scripts[0],
              "window.velunio&&typeof window.velunio._onDeeplinkResult==='function'&&"
              "window.velunio._onDeeplinkResult(false)");

    shell.deeplink_installed = true;
    handler_open_browser(std::string("velunio://sign/2"));
    EXPECT_EQ(shell.calls, (std::vector<std::string>{"open velunio://sign/2"}));
    ASSERT_EQ(shell.scripts.size(), 2u);
    EXPECT_NE(shell.scripts[1].find("_onDeeplinkResult(true)"), std::string::npos);
}

TEST(WindowHandlers, ResizeAndBackgroundIgnoreUnusableData) {
    fake_shell shell;
    shell.install();
    handler_resize_window(std::nullopt);
    handler_set_window_background(std::string("#fff"));
    handler_set_window_background(std::nullopt);
    EXPECT_TRUE(shell.calls.empty());
    handler_resize_window(std::string("home-with-banner"));
    handler_resize_window(std::string("sign-in"));
    handler_set_window_background(std::string("#1e90ff"));
    EXPECT_EQ(shell.calls, (std::vector<std::string>{"size 514x498", "size 424x414", "bg 30,144,255"}));
}

TEST(UiFiles, RequestPaths) {
    EXPECT_EQ(ui_relative_path("/index.html"), "index.html");
    EXPECT_EQ(ui_relative_path("/"), "index.html");
    EXPECT_EQ(ui_relative_path("/js/app%20one.js?x=1#top"), "js/app one.js");
    EXPECT_EQ(ui_relative_path("/./a//b.css"), "a/b.css");
    EXPECT_FALSE(ui_relative_path("/../secret"));
    EXPECT_FALSE(ui_relative_path("/a/%2e%2e/%2e%2e/secret"));
    EXPECT_FALSE(ui_relative_path("/a%2F..%2Fb"));
    EXPECT_FALSE(ui_relative_path("/a%5cb"));
    EXPECT_FALSE(ui_relative_path("/a%00.html"));
    EXPECT_FALSE(ui_relative_path("/a%4"));
    EXPECT_FALSE(ui_relative_path("/a%zz"));
}

TEST(UiFiles, ResolveStaysInsideTheRealFolder) {
    namespace fs = std::filesystem;
    fs::path root = fs::temp_directory_path() / ("velunio-ui-test-" + std::to_string(::getpid()));
    fs::remove_all(root);
    fs::create_directories(root / "ui" / "js");
    std::ofstream(root / "ui" / "js" / "a.js") << "1";
    std::ofstream(root / "outside.txt") << "secret";
    fs::create_symlink(root / "outside.txt", root / "ui" / "link.txt");
    fs::create_directory_symlink(root, root / "ui" / "up");
    std::string ui = (root / "ui").string();

    EXPECT_EQ(resolve_ui_file(ui, "js/a.js"), fs::canonical(root / "ui" / "js" / "a.js").string());
    EXPECT_FALSE(resolve_ui_file(ui, "link.txt"));
    EXPECT_FALSE(resolve_ui_file(ui, "up/outside.txt"));
    EXPECT_FALSE(resolve_ui_file(ui, "js"));
    EXPECT_FALSE(resolve_ui_file(ui, "missing.html"));
    // A sibling folder whose name begins with the UI folder's is still outside it.
    fs::create_directories(root / "ui2");
    std::ofstream(root / "ui2" / "b.js") << "2";
    fs::create_directory_symlink(root / "ui2", root / "ui" / "side");
    EXPECT_FALSE(resolve_ui_file(ui, "side/b.js"));
    fs::remove_all(root);
}

TEST(UiFiles, MimeTypesAndNavigation) {
    EXPECT_EQ(ui_mime_type("index.html"), "text/html");
    EXPECT_EQ(ui_mime_type("/x/app.MJS"), "text/javascript");
    EXPECT_EQ(ui_mime_type("a.woff2"), "font/woff2");
    EXPECT_EQ(ui_mime_type("a.svg"), "image/svg+xml");
    EXPECT_EQ(ui_mime_type("dir.d/noext"), "application/octet-stream");
    EXPECT_TRUE(ui_navigation_allowed("velunio-ui://app/index.html#x"));
    EXPECT_FALSE(ui_navigation_allowed("velunio-ui://app.evil/index.html"));
    EXPECT_FALSE(ui_navigation_allowed("https://example.invalid/"));
    EXPECT_FALSE(ui_navigation_allowed("velunio-ui://app"));
}

TEST(WebViewScripts, DocumentScriptIsVersionShimAndHook) {
    const std::string shim =
        "(function(){if(!window.webkit)window.webkit={};if(!window.webkit.messageHandlers)window.webkit.messageHandlers={};['showAlert','bringToFront','openBrowser','resizeWindow','setWindowBackground','httpGet','postToken','startFileWatcher','uploadPrintedFile','deletePrintedFile','clearPrintedFiles'].forEach(function(n){window.webkit.messageHandlers[n]={postMessage:function(d){window.chrome.webview.postMessage(JSON.stringify({handler:n,data:d===undefined?null:d}));}};});})();";
    const std::string hook =
        "(function(){['log','warn','error','info'].forEach(function(m){var orig=console[m].bind(console);console[m]=function(){var s=Array.prototype.slice.call(arguments).map(function(a){try{return typeof a==='object'?JSON.stringify(a):String(a);}catch(e){return String(a);}}).join(' ');window.chrome&&window.chrome.webview&&window.chrome.webview.postMessage(JSON.stringify({handler:'__log__',data:m+': '+s}));orig.apply(console,arguments);};});})();";
    EXPECT_EQ(document_creation_script("1.0.4"), "window.__VELUNIO_APP_VERSION__='1.0.4';\n" + shim + "\n" + hook);
    // A quote in the version cannot end the string early.
    EXPECT_EQ(document_creation_script("1'x").rfind("window.__VELUNIO_APP_VERSION__='1\\'x';\n", 0), 0u);
}
