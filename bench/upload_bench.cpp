// Uploads a 150 MB printed file to a loopback sink, as the program does (an upload worker,
// progress reports delivered to the page by the main thread), and prints the peak resident
// size over the idle process and the throughput, next to the command-line curl -F with the
// same file and the same server in the same run.

#include "base/app_state.h"
#include "documents/upload.h"
#include "base/page_script.h"
#include "bridge/handlers.h"
#include "base/posted_messages.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

namespace {

std::atomic<unsigned long long> last_request_bytes{0};

long status_kb(const char* field) {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind(field, 0) == 0) return std::stol(line.substr(std::string(field).size()));
    return -1;
}

// Reads each request whole (Content-Length) and answers with an envelope id.
void serve(int listener) {
    for (;;) {
        int c = ::accept(listener, nullptr, nullptr);
        if (c < 0) return;
        std::string head;
        static thread_local char buf[1 << 20];
        while (head.find("\r\n\r\n") == std::string::npos) {
            ssize_t n = ::read(c, buf, sizeof buf);
            if (n <= 0) break;
            head.append(buf, static_cast<std::size_t>(n));
        }
        std::size_t end = head.find("\r\n\r\n");
        unsigned long long length = 0;
        for (const char* key : {"Content-Length: ", "content-length: "}) {
            std::size_t at = head.find(key);
            if (at != std::string::npos) length = std::strtoull(head.c_str() + at + 16, nullptr, 10);
        }
        unsigned long long got = end == std::string::npos ? 0 : head.size() - end - 4;
        while (got < length) {
            ssize_t n = ::read(c, buf, sizeof buf);
            if (n <= 0) break;
            got += static_cast<unsigned long long>(n);
        }
        last_request_bytes = got;
        std::string body = "{\"data\":{\"alphaCreateEnvelope\":{\"id\":\"bench\"}}}";
        std::string answer = "HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Length: " + std::to_string(body.size()) +
                             "\r\n\r\n" + body;
        (void)!::write(c, answer.data(), answer.size());
        ::close(c);
    }
}

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int main() {
    std::string root = std::filesystem::temp_directory_path().string() + "/velunio-upload-bench-" + std::to_string(::getpid());
    std::string out = root + "/out";
    std::filesystem::create_directories(out + "/sign-myself");
    set_app_paths({root, out, "bench"});
    std::string path = out + "/sign-myself/bench.pdf";
    {
        // Real bytes rather than a sparse file, so both clients read from the page cache alike.
        std::ofstream f(path, std::ios::binary);
        std::string block(1 << 20, '\0');
        for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>(i * 2654435761u >> 24);
        for (int i = 0; i < 150; ++i) f.write(block.data(), static_cast<std::streamsize>(block.size()));
    }
    double mb = static_cast<double>(std::filesystem::file_size(path)) / 1048576.0;

    int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(listener, 8) != 0) return 1;
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len);
    std::string url = "http://127.0.0.1:" + std::to_string(ntohs(addr.sin_port)) + "/graphql";
    std::thread(serve, listener).detach();

    std::string result;
    int progress_reports = 0;
    install_bridge_deliverers();
    set_page_script_runner([&](const std::string& script) {
        if (script.find("_onUploadProgress(") != std::string::npos) ++progress_reports;
        else result = script;
    });
    long idle = status_kb("VmRSS:");
    std::string command = "curl -s -o /dev/null --noproxy '*' -H 'Expect:' -F '0=@" + path + ";type=application/pdf' " + url;
    // A run takes a tenth of a second on loopback: the best of a few rounds of each.
    double ours = 1e9, theirs = 1e9;
    unsigned long long our_bytes = 0, their_bytes = 0;
    int curl_status = 0;
    for (int round = 0; round < 5; ++round) {
        result.clear();
        progress_reports = 0;
        auto start = std::chrono::steady_clock::now();
        start_upload({path, "token", url, "bench", "SIGN_MYSELF"});
        while (result.empty() && seconds_since(start) < 120) {
            deliver_posted_messages();
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        ours = std::min(ours, seconds_since(start));
        our_bytes = last_request_bytes;
        start = std::chrono::steady_clock::now();
        curl_status = std::system(command.c_str());
        theirs = std::min(theirs, seconds_since(start));
        their_bytes = last_request_bytes;
    }
    long peak = status_kb("VmHWM:");

    std::printf("file:                %.0f MB\n", mb);
    std::printf("result:              %s\n", result.find("bench") != std::string::npos ? "envelope bench" : result.c_str());
    std::printf("idle RSS:            %ld kB\n", idle);
    std::printf("peak RSS over idle:  %ld kB (progress on)\n", peak - idle);
    std::printf("upload, best of 5:   %.3f s, %.0f MB/s, %llu body bytes, %d progress reports\n", ours, mb / ours,
                our_bytes, progress_reports);
    if (curl_status == 0) {
        std::printf("curl -F, best of 5:  %.3f s, %.0f MB/s, %llu body bytes (no 100-continue wait)\n", theirs,
                    mb / theirs, their_bytes);
        std::printf("throughput ratio:    %.0f %% of curl's (at least 90 %% wanted)\n", 100 * theirs / ours);
    } else {
        std::printf("curl -F:             failed (status %d)\n", curl_status);
    }
    std::filesystem::remove_all(root);
    return 0;
}
