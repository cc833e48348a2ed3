#include "printer/flow_file.h"

#include "printer/service_config.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <random>
#include <thread>

struct flow_output {
    int fd = -1;
    std::string temp_path;
    bool finished = false;  // the bytes are on disk and the file is closed
    bool published = false;
};

namespace {

std::string errno_text(const char* what, int code)
{
    return std::string(what) + ": " + std::strerror(code);
}

std::string folder_of(const std::string& path)
{
    auto slash = path.rfind('/');
    return slash == std::string::npos ? std::string(".") : (slash == 0 ? "/" : path.substr(0, slash));
}

void sync_folder(const std::string& folder)
{
    int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

}  // namespace

void flow_output_closer::operator()(flow_output* output) const
{
    std::unique_ptr<flow_output> owned(output);
    if (owned->fd >= 0)
        ::close(owned->fd);
    if (!owned->published && !owned->temp_path.empty())
        ::unlink(owned->temp_path.c_str());
}

flow_output_ptr flow_output_create(const std::string& folder, std::string& error)
{
    std::string pattern = folder + "/" + std::string(flow_temp_prefix) + "XXXXXX" + std::string(flow_temp_suffix);
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    int fd = ::mkostemps(name.data(), static_cast<int>(flow_temp_suffix.size()), O_CLOEXEC);
    if (fd < 0) {
        error = errno_text("cannot create a temporary file", errno);
        return nullptr;
    }
    // Printed documents are the user's alone (mkostemps already creates 0600; a umask
    // cannot widen it, and the explicit mode says so).
    ::fchmod(fd, 0600);
    auto output = std::make_unique<flow_output>();
    output->fd = fd;
    output->temp_path = name.data();
    return flow_output_ptr(output.release());
}

flow_output_ptr flow_output_link(const std::string& source, const std::string& folder, std::string& error)
{
    std::random_device seed;
    std::mt19937_64 random(seed());
    static constexpr char letters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string name(flow_temp_prefix);
        for (int i = 0; i < 12; ++i)
            name += letters[random() % (sizeof(letters) - 1)];
        std::string temp = folder + "/" + name + std::string(flow_temp_suffix);
        if (::link(source.c_str(), temp.c_str()) != 0) {
            if (errno == EEXIST)
                continue;
            error = errno_text("cannot link the spooled document", errno);
            return nullptr;
        }
        auto output = std::make_unique<flow_output>();
        output->temp_path = temp;
        flow_output_ptr owned(output.release());
        int fd = ::open(temp.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
        if (fd < 0 || ::fchmod(fd, 0600) != 0) {
            error = errno_text("cannot secure the linked document", errno);
            if (fd >= 0)
                ::close(fd);
            return nullptr;  // the link is removed with `owned`
        }
        // The library wrote the document without flushing it. Waiting here for the disk would
        // cost as much as the copy this link saves, so the flush runs beside the job.
        std::thread([fd] {
            ::fdatasync(fd);
            ::close(fd);
        }).detach();
        owned->finished = true;
        return owned;
    }
    error = "no free temporary name";
    return nullptr;
}

bool flow_output_write(flow_output& output, const void* data, std::size_t size, std::string& error)
{
    const char* bytes = static_cast<const char*>(data);
    while (size > 0) {
        if (output.fd < 0) {
            error = "write after the file was closed";
            return false;
        }
        ssize_t written = ::write(output.fd, bytes, size);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            error = errno_text("write failed", errno);
            return false;
        }
        bytes += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

bool flow_output_finish(flow_output& output, std::string& error)
{
    if (output.finished)
        return true;
    if (output.fd < 0) {
        error = "file already closed";
        return false;
    }
    bool ok = true;
    if (::fsync(output.fd) != 0) {
        error = errno_text("fsync failed", errno);
        ok = false;
    }
    if (::close(output.fd) != 0 && ok) {
        error = errno_text("close failed", errno);
        ok = false;
    }
    output.fd = -1;
    output.finished = ok;
    return ok;
}

publish_status flow_output_publish(flow_output& output, const std::string& final_path, std::string& error)
{
    if (::renameat2(AT_FDCWD, output.temp_path.c_str(), AT_FDCWD, final_path.c_str(), RENAME_NOREPLACE) == 0) {
        output.published = true;
        sync_folder(folder_of(final_path));
        return publish_status::published;
    }
    int code = errno;
    if (code == EEXIST)
        return publish_status::name_taken;
    if (code == EINVAL || code == ENOSYS) {
        // A file system without no-replace renames: check, then rename. Only this process
        // names files in the flow folders, so the gap between the two is not contended.
        struct stat info {};
        if (::lstat(final_path.c_str(), &info) == 0)
            return publish_status::name_taken;
        if (::rename(output.temp_path.c_str(), final_path.c_str()) == 0) {
            output.published = true;
            sync_folder(folder_of(final_path));
            return publish_status::published;
        }
        code = errno;
    }
    error = errno_text("rename failed", code);
    return publish_status::failed;
}

const std::string& flow_output_temp_path(const flow_output& output) { return output.temp_path; }

bool flow_make_directory(const std::string& path, std::string& error)
{
    if (::mkdir(path.c_str(), 0700) == 0)
        return true;
    int code = errno;
    struct stat info {};
    if (code == EEXIST && ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
        if (info.st_uid == ::geteuid() && (info.st_mode & 077) != 0)
            ::chmod(path.c_str(), info.st_mode & 0700);
        return true;
    }
    error = std::strerror(code);
    return false;
}

bool flow_prepare_spool_folder(const std::string& path, std::string& error)
{
    flow_remove_spool_folder(path);
    return flow_make_directory(path, error);
}

void flow_remove_spool_folder(const std::string& path)
{
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
}

std::vector<std::string> flow_list_folder(const std::string& folder)
{
    std::vector<std::string> names;
    std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(folder.c_str()), ::closedir);
    if (!dir)
        return names;
    while (dirent* entry = ::readdir(dir.get())) {
        std::string name = entry->d_name;
        if (name != "." && name != "..")
            names.push_back(std::move(name));
    }
    return names;
}

void flow_remove_stale_temp_files(const std::string& folder)
{
    for (const std::string& name : flow_list_folder(folder))
        if (is_flow_temp_name(name))
            ::unlink((folder + "/" + name).c_str());
}
