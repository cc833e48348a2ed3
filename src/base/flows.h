#pragma once
// The two flows, the one table that the printer service, the watcher, the upload's
// confinement, registration and the tests share.

#include <array>
#include <optional>
#include <string_view>

struct flow {
    std::string_view printer_name;   // the printer, and the queue's description
    std::string_view folder;         // its sub-folder of the output folder
    std::string_view flow_name;      // what the page is told
    std::string_view queue_name;     // the print queue registration adds
    std::string_view resource_path;  // where the printer service publishes the printer
};

// In the order the printers are created, scanned and cleared.
inline constexpr std::array<flow, 2> flows{{
    {"Sign Myself (Velunio)", "sign-myself", "sign_myself", "Sign_Myself_Velunio", "/ipp/print/Sign_Myself_(Velunio)"},
    {"Request Signature (Velunio)", "request-signature", "request_signature", "Request_Signature_Velunio",
     "/ipp/print/Request_Signature_(Velunio)"},
}};

// The flow whose folder is `folder`, letter case ignored as the output folder's file system may.
std::optional<flow> flow_for_folder(std::string_view folder);
