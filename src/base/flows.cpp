#include "base/flows.h"

namespace {

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool equals_ignoring_case(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (lower(a[i]) != lower(b[i])) return false;
    return true;
}

}  // namespace

std::optional<flow> flow_for_folder(std::string_view folder) {
    for (const flow& f : flows)
        if (equals_ignoring_case(f.folder, folder)) return f;
    return std::nullopt;
}
