#include "documents/upload.h"

#include "app/app_log.h"
#include "bridge/json_text.h"
#include "window/page_script.h"

std::string upload_result_json(const upload_result& result) {
    std::string json = "{\"path\":\"" + js_escape_double(result.path);
    if (result.error_text) {
        json += "\",\"error\":\"" + js_escape_double(*result.error_text);
    } else {
        json += "\",\"envelopeId\":\"" + js_escape_double(result.envelope_id.value_or(""));
    }
    json += "\"}";
    return json;
}

std::string upload_result_script(const upload_result& result) {
    return "window.velunio&&typeof window.velunio._onUploadResult==='function'&&window.velunio._onUploadResult('" +
           js_escape_single(upload_result_json(result)) + "')";
}

void deliver_upload_result(const upload_result& result) {
    // Each stage had a fixed buffer; a result that would be cut is not sent half-made.
    std::string json = upload_result_json(result);
    if (utf16_length(json) >= upload_result_json_limit) {
        app_log("[script] upload result not run: %zu characters do not fit the %zu-character limit",
                utf16_length(json), upload_result_json_limit);
        return;
    }
    run_bounded_page_script(upload_result_script(result), upload_result_script_limit, "upload result");
}
