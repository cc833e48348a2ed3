#pragma once
// What the output folder holds besides printed documents, and how it is made: private to
// the user, since it keeps their printed documents and the page's stored sign-in.

#include <string>
#include <string_view>

// Entries of the output folder that belong to the program itself. Nothing in them is a
// printed document, whatever its name.
inline constexpr std::string_view web_view_data_folder = "WebKit";
inline constexpr std::string_view printer_spool_folder = "spool";
inline constexpr std::string_view app_log_file_name = "velunio-print.log";

// True for a name directly in the output folder that the program keeps for itself: the web
// view's data, the printer service's spool, the log and its older generation, crash records.
bool is_program_data_name(std::string_view name);

// Creates the output folder (and any missing parent) and the web view's data folder, both
// readable by the user alone. True when the output folder exists afterwards.
bool prepare_output_folder(const std::string& output_dir);

// "<output>/spool", the printer service's spool: private, and on the output folder's file
// system so that a spooled document becomes a landed file by a link.
std::string spool_dir_for(const std::string& output_dir);
