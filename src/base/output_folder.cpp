#include "base/output_folder.h"

#include "base/app_state.h"
#include "base/platform.h"

#include <filesystem>

bool is_program_data_name(std::string_view name) {
    if (name == web_view_data_folder || name == printer_spool_folder) return true;
    if (name.starts_with(app_log_file_name)) return true;  // the log, its ".1", a reopened copy
    return name.starts_with("crash-") && name.ends_with(".txt");
}

bool prepare_output_folder(const std::string& output_dir) {
    std::filesystem::path folder(output_dir);
    if (folder.has_parent_path() && folder.has_relative_path()) create_folder_with_parents(folder.parent_path().string());
    if (!create_private_folder(output_dir)) return false;
    create_private_folder((folder / web_view_data_folder).string());
    return true;
}
