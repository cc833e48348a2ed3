#pragma once
// The scripts the web view host injects at the start of every document.

#include <string>
#include <string_view>

// window.chrome.webview.postMessage over this web view's own message handler, which it
// captures first: the bridge shim later adds the page's entries to the same object.
std::string bridge_forwarder_script(std::string_view handler_name);

// The version script, the bridge shim and the console hook, one after the other.
std::string document_creation_script(std::string_view app_version);
