#include "documents/folder_watcher.h"

#include "bridge/json_text.h"
#include "window/page_script.h"

std::string new_printed_file_script(const printed_file_event& event) {
    return "window.velunio&&typeof window.velunio._onNewPrintedFile==='function'&&window.velunio._onNewPrintedFile('" +
           js_escape_single(event.path) + "','" + js_escape_single(event.flow) + "')";
}

void deliver_new_printed_file(const printed_file_event& event) {
    run_bounded_page_script(new_printed_file_script(event), new_printed_file_script_limit, "new printed file report");
}
