#pragma once
// The scripts the web view host injects at the start of every document.

#include <array>
#include <string>
#include <string_view>

// The page's bridge handlers, in the order the shim creates them: the one list that the
// shim, the dispatch table and the page's own list are held to.
inline constexpr std::array<std::string_view, 11> bridge_handler_names{
    "showAlert", "bringToFront", "openBrowser", "resizeWindow", "setWindowBackground", "httpGet",
    "postToken", "startFileWatcher", "uploadPrintedFile", "deletePrintedFile", "clearPrintedFiles",
};

// window.chrome.webview.postMessage over this web view's own message handler, which it
// captures first: the bridge shim later adds the page's entries to the same object.
std::string bridge_forwarder_script(std::string_view handler_name);

// The version script, the bridge shim and the console hook, one after the other.
std::string document_creation_script(std::string_view app_version);
