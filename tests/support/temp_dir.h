#pragma once
// A fresh folder under the system's temporary folder, removed with its content at the end;
// and the file and text helpers the tests share.

#include <string>

class temp_dir {
public:
    temp_dir();
    ~temp_dir();
    temp_dir(const temp_dir&) = delete;
    temp_dir& operator=(const temp_dir&) = delete;
    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

std::string read_file(const std::string& path);
inline bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }
// The permission bits of a file or folder; 0 when there is none.
unsigned file_mode(const std::string& path);
void write_file(const std::string& path, const std::string& content);
