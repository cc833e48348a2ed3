#pragma once
// File operations of the flow device: a job is written to a hidden temporary file in its
// folder and only takes its ".pdf" name, by one rename, once its bytes are on disk.

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

struct flow_output;  // an open temporary file; defined by the platform backend

struct flow_output_closer {
    void operator()(flow_output* output) const;  // closes it; an unpublished file is removed
};
using flow_output_ptr = std::unique_ptr<flow_output, flow_output_closer>;

// A new temporary file in `folder`; null with `error` set on failure.
flow_output_ptr flow_output_create(const std::string& folder, std::string& error);

// A finished temporary file in `folder` holding the bytes of `source`, a document the
// printer library has already written to its spool folder: the file is linked, not copied.
// Null with `error` set when the two folders cannot share a file (another file system); the
// caller copies then.
flow_output_ptr flow_output_link(const std::string& source, const std::string& folder, std::string& error);

// Writes all bytes or fails.
bool flow_output_write(flow_output& output, const void* data, std::size_t size, std::string& error);

// Makes the written bytes durable and closes the file; it keeps its temporary name.
bool flow_output_finish(flow_output& output, std::string& error);

enum class publish_status { published, name_taken, failed };

// Renames a finished file to `final_path` without ever replacing an existing file.
publish_status flow_output_publish(flow_output& output, const std::string& final_path,
                                   std::string& error);

const std::string& flow_output_temp_path(const flow_output& output);

// Creates one directory level readable by the user alone; an existing directory counts as
// success (and is made private when it is the user's).
bool flow_make_directory(const std::string& path, std::string& error);

// The printer library's spool folder: emptied of what an earlier run left (a killed job's
// document), then created private. False with `error` set when it cannot be made.
bool flow_prepare_spool_folder(const std::string& path, std::string& error);
// Removes the spool folder and everything in it.
void flow_remove_spool_folder(const std::string& path);

// Removes temporary job files left in `folder` by a process that died mid-job.
void flow_remove_stale_temp_files(const std::string& folder);

// Names of the entries of a folder (tests and the stale-file sweep use it).
std::vector<std::string> flow_list_folder(const std::string& folder);
