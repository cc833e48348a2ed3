#include "window/web_view_scripts.h"

#include "base/json_text.h"

namespace {

// The shim as the page expects it, its list written from bridge_handler_names.
std::string bridge_shim() {
    std::string names;
    for (std::string_view name : bridge_handler_names) {
        if (!names.empty()) names += ',';
        names += '\'';
        names += name;
        names += '\'';
    }
    return "(function(){if(!window.webkit)window.webkit={};if(!window.webkit.messageHandlers)window.webkit."
           "messageHandlers={};[" +
           names +
           "].forEach(function(n){window.webkit.messageHandlers[n]={postMessage:function(d){window.chrome.webview."
           "postMessage(JSON.stringify({handler:n,data:d===undefined?null:d}));}};});})();";
}

constexpr std::string_view console_hook =
    "(function(){['log','warn','error','info'].forEach(function(m){var orig=console[m].bind(console);console[m]="
    "function(){var s=Array.prototype.slice.call(arguments).map(function(a){try{return typeof a==='object'?JSON."
    "stringify(a):String(a);}catch(e){return String(a);}}).join(' ');window.chrome&&window.chrome.webview&&window."
    "chrome.webview.postMessage(JSON.stringify({handler:'__log__',data:m+': '+s}));orig.apply(console,arguments);"
    "};});})();";

}  // namespace

std::string bridge_forwarder_script(std::string_view handler_name) {
    std::string name = js_escape_single(handler_name);
    // The closure holds the namespace object itself: the engine keeps the properties the shim
    // adds to it only as long as something references its wrapper, and a page that looks a
    // handler up late would otherwise find it collected.
    return "(function(){var n=window.webkit.messageHandlers;window.chrome=window.chrome||{};window.chrome.webview={"
           "postMessage:function(m){n['" +
           name + "'].postMessage(m);}};})();";
}

std::string document_creation_script(std::string_view app_version) {
    // The version is escaped and never cut: a cut quote would break the shim after it too.
    std::string script = "window.__VELUNIO_APP_VERSION__='" + js_escape_single(app_version) + "';";
    script += '\n';
    script += bridge_shim();
    script += '\n';
    script += console_hook;
    return script;
}
