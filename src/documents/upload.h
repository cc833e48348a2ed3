#pragma once
// Upload of a printed file as a new envelope.

#include "window/posted_messages.h"

#include <string>

// The JSON text handed to _onUploadResult: {"path":..,"envelopeId":..} or {"path":..,"error":..}.
std::string upload_result_json(const upload_result& result);
std::string upload_result_script(const upload_result& result);

constexpr std::size_t upload_result_json_limit = 4096;
constexpr std::size_t upload_result_script_limit = 8192;

#include "bridge/dispatch.h"

inline constexpr bridge_handler handler_upload_printed_file = nullptr;
