#include "printer/log_relay.h"

void split_log_lines(std::string& pending, std::string_view chunk, const log_line_sink& sink,
                     std::size_t max_line)
{
    pending.append(chunk);
    std::size_t start = 0;
    while (true) {
        std::size_t end = pending.find('\n', start);
        if (end == std::string::npos) {
            while (pending.size() - start >= max_line) {
                sink(std::string_view(pending).substr(start, max_line));
                start += max_line;
            }
            break;
        }
        std::string_view line = std::string_view(pending).substr(start, end - start);
        if (line.ends_with('\r'))
            line.remove_suffix(1);
        while (line.size() > max_line) {
            sink(line.substr(0, max_line));
            line.remove_prefix(max_line);
        }
        sink(line);
        start = end + 1;
    }
    pending.erase(0, start);
}
