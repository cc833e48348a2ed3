#pragma once
// The receiving end of the page's bridge messages.

#include <optional>
#include <string>
#include <string_view>

// A message as the page posted it: the text of {"handler":..,"data":..}. Non-string
// messages never get here (the web view host drops them).
void on_web_message_received(std::string_view message);

void dispatch_bridge_message(const std::optional<std::string>& handler, const std::optional<std::string>& data);
