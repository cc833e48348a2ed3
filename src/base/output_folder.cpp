#include "base/output_folder.h"

#include "base/app_state.h"
#include "base/platform.h"
#include "base/utf8_path.h"

#include <filesystem>

bool is_program_data_name(std::string_view name) {
    if (name == web_view_data_folder || name == printer_spool_folder) return true;
    if (name.starts_with(app_log_file_name)) return true;  // the log, its ".1", a reopened copy
    return name.starts_with("crash-") && name.ends_with(".txt");
}

bool prepare_output_folder(const std::string& output_dir) {
    std::filesystem::path folder = utf8_path(output_dir);
    if (folder.has_parent_path() && folder.has_relative_path()) create_folder_with_parents(path_utf8(folder.parent_path()));
    if (!create_private_folder(output_dir)) return false;
    create_private_folder(path_utf8(folder / web_view_data_folder));
    return true;
}

std::string spool_dir_for(const std::string& output_dir) {
    return output_dir + native_separator + std::string(printer_spool_folder);
}
