#include "window/printed_notice.h"

#include "base/flows.h"

desktop_notice printed_file_notice(const printed_file_event& event) {
    std::string_view name = event.path;
    if (auto slash = name.rfind('/'); slash != std::string_view::npos) name.remove_prefix(slash + 1);
    std::string_view printer = event.flow;
    for (const flow& f : flows)
        if (f.flow_name == event.flow) printer = f.printer_name;
    desktop_notice notice;
    notice.summary = "New document to sign: " + std::string(name);
    notice.body = "Printed to " + std::string(printer) + ". Open Velunio Printaro to send it.";
    return notice;
}
