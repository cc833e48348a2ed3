#pragma once
// What the desktop is told of a document printed while the window is out of sight.

#include "base/posted_messages.h"

#include <string>

struct desktop_notice {
    std::string summary;
    std::string body;
};

// "New document to sign: NAME", the body naming the printer, and so the flow, it came from.
desktop_notice printed_file_notice(const printed_file_event& event);
