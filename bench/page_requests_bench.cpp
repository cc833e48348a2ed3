// Sends 100 httpGet messages at once, each for a 1 MB answer from a loopback server, and
// prints the time until the page has every answer, the threads and the peak resident size
// over idle, next to the command-line curl fetching the same 100 URLs in parallel from the
// same server in the same run.
//   page_requests_bench [requests] [bytes]

#include "base/json_text.h"
#include "base/page_script.h"
#include "base/posted_messages.h"
#include "bridge/dispatch.h"
#include "bridge/handlers.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

namespace {

long status_value(const std::string& field) {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind(field + ":", 0) == 0) return std::stol(line.substr(field.size() + 1));
    return -1;
}

// Answers every request with the same body, one thread per connection.
void serve(int listener, const std::string* answer) {
    for (;;) {
        int c = ::accept(listener, nullptr, nullptr);
        if (c < 0) return;
        std::thread([c, answer] {
            std::string head;
            char buf[4096];
            while (head.find("\r\n\r\n") == std::string::npos) {
                ssize_t n = ::read(c, buf, sizeof buf);
                if (n <= 0) break;
                head.append(buf, static_cast<std::size_t>(n));
            }
            for (std::size_t sent = 0; sent < answer->size();) {
                ssize_t n = ::write(c, answer->data() + sent, answer->size() - sent);
                if (n <= 0) break;
                sent += static_cast<std::size_t>(n);
            }
            ::close(c);
        }).detach();
    }
}

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
    int requests = argc > 1 ? std::atoi(argv[1]) : 100;
    std::size_t bytes = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 1u << 20;
    std::string body(bytes, 'x');
    for (std::size_t i = 0; i < body.size(); i += 61) body[i] = '\n';  // some text to escape
    std::string answer = "HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Type: application/json\r\nContent-Length: " +
                         std::to_string(body.size()) + "\r\n\r\n" + body;

    int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(listener, 512) != 0) return 1;
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len);
    std::string url = "http://127.0.0.1:" + std::to_string(ntohs(addr.sin_port)) + "/data";
    std::thread(serve, listener, &answer).detach();

    int answered = 0;
    std::size_t script_bytes = 0;
    install_bridge_deliverers();
    set_page_script_runner([&](const std::string& script) {
        ++answered;
        script_bytes += script.size();
    });
    long idle_kb = status_value("VmRSS");
    long idle_threads = status_value("Threads");
    std::ofstream("/proc/self/clear_refs") << "5";
    long most_threads = idle_threads;
    std::string command = "curl -s --noproxy '*' -Z --parallel-max " + std::to_string(requests);
    for (int i = 0; i < requests; ++i) command += " -o /dev/null " + url;
    // The best of a few rounds of each, alternating, against the noise of a shared machine.
    double ours = 1e9, theirs = 1e9;
    int curl_status = 0;
    bool all_answered = true;
    for (int run = 0; run < 3; ++run) {
        answered = 0;
        auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < requests; ++i) {
            std::string data = "{\"id\":\"" + std::to_string(i) + "\",\"url\":" + json_quote(url) + "}";
            on_web_message_received("{\"handler\":\"httpGet\",\"data\":" + json_quote(data) + "}");
        }
        for (int round = 0; answered < requests && seconds_since(start) < 120; ++round) {
            deliver_posted_messages();
            if (round % 20 == 0) most_threads = std::max(most_threads, status_value("Threads"));
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        ours = std::min(ours, seconds_since(start));
        all_answered = all_answered && answered == requests;
        start = std::chrono::steady_clock::now();
        curl_status = std::system(command.c_str());
        theirs = std::min(theirs, seconds_since(start));
    }
    long peak_kb = status_value("VmHWM");

    std::printf("requests:              %d of %zu bytes\n", requests, bytes);
    std::printf("answered:              %s (%zu script bytes in all)\n", all_answered ? "every request" : "NOT ALL",
                script_bytes);
    std::printf("httpGet to the page:   %.0f ms (best of 3)\n", ours * 1000);
    if (curl_status == 0) {
        std::printf("curl -Z, same URLs:    %.0f ms (best of 3)\n", theirs * 1000);
        std::printf("ratio:                 %.2f (at most 2 wanted)\n", ours / theirs);
    } else {
        std::printf("curl -Z:               failed (status %d)\n", curl_status);
    }
    std::printf("threads over idle:     %ld at most\n", most_threads - idle_threads);
    std::printf("peak RSS over idle:    %ld kB\n", peak_kb - idle_kb);
    return all_answered ? 0 : 1;
}
