#pragma once
// The TCP port of the printer service, shared by the service and the registration mode.

#include <optional>
#include <string_view>

constexpr int default_ipp_port = 8632;

// A decimal port number 1..65535; anything else (absent, empty, signs, spaces, out of
// range) keeps the default, so a stray value never moves the printers somewhere else.
int ipp_port_from_value(std::optional<std::string_view> value);

// VELUNIO_IPP_PORT, else 8632. Tests set it to run services side by side.
int ipp_port_from_environment();
