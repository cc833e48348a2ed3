// libcurl's easy interface, one handle and one fresh connection per exchange, so libcurl
// never has a reason to send a request again: every request goes out once.
//
// The client-certificate flag needs no option: libcurl presents a client certificate only
// when one is configured, so a server's request for one is always answered without.

#include "documents/http_client.h"

#include <curl/curl.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <string_view>

namespace {

struct easy_deleter {
    void operator()(CURL* h) const { curl_easy_cleanup(h); }
};
struct url_deleter {
    void operator()(CURLU* h) const { curl_url_cleanup(h); }
};
struct slist_deleter {
    void operator()(curl_slist* l) const { curl_slist_free_all(l); }
};
struct curl_text_deleter {
    void operator()(char* p) const { curl_free(p); }
};
using easy_handle = std::unique_ptr<CURL, easy_deleter>;
using url_handle = std::unique_ptr<CURLU, url_deleter>;
using header_list = std::unique_ptr<curl_slist, slist_deleter>;
using curl_text = std::unique_ptr<char, curl_text_deleter>;

void global_init_once() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

struct url_check {
    url_handle url;
    std::string scheme;
    CURLUcode code = CURLUE_OK;
};

std::string url_part(CURLU* url, CURLUPart part) {
    char* raw = nullptr;
    if (curl_url_get(url, part, &raw, 0) != CURLUE_OK || raw == nullptr) return {};
    curl_text owned(raw);
    return owned.get();
}

// Only absolute http and https URLs whose host and path fit the splitter's limits.
url_check check_url(const std::string& text) {
    url_check check;
    check.url.reset(curl_url());
    if (!check.url) {
        check.code = CURLUE_OUT_OF_MEMORY;
        return check;
    }
    check.code = curl_url_set(check.url.get(), CURLUPART_URL, text.c_str(), 0);
    if (check.code != CURLUE_OK) return check;
    // The URL's user information goes nowhere.
    for (CURLUPart part : {CURLUPART_USER, CURLUPART_PASSWORD, CURLUPART_OPTIONS})
        curl_url_set(check.url.get(), part, nullptr, 0);
    check.scheme = url_part(check.url.get(), CURLUPART_SCHEME);
    if (check.scheme != "http" && check.scheme != "https") {
        check.code = CURLUE_UNSUPPORTED_SCHEME;
        return check;
    }
    if (url_part(check.url.get(), CURLUPART_HOST).size() >= http_url_host_limit) {
        check.code = CURLUE_BAD_HOSTNAME;
        return check;
    }
    // The splitter's path buffer also held the query string.
    std::string path = url_part(check.url.get(), CURLUPART_PATH);
    std::string query = url_part(check.url.get(), CURLUPART_QUERY);
    std::size_t path_length = path.size() + (query.empty() ? 0 : query.size() + 1);
    if (path_length >= http_url_path_limit) check.code = CURLUE_BAD_PATH;
    return check;
}

struct exchange {
    const http_body_source* body = nullptr;  // null for GET
    std::uint64_t offset = 0;
    std::string response;
    bool too_large = false;
    bool source_failed = false;
    CURL* handle = nullptr;
    http_limits limits;
    transfer_watch watch;
    bool too_slow = false;
};

// libcurl calls this at least once a second while the transfer runs.
int on_progress(void* user, curl_off_t, curl_off_t down, curl_off_t, curl_off_t up) {
    auto* ex = static_cast<exchange*>(user);
    curl_off_t connected_us = 0;
    curl_easy_getinfo(ex->handle, CURLINFO_CONNECT_TIME_T, &connected_us);
    if (connected_us <= 0) return 0;  // the connect time-out bounds that phase
    auto moved = static_cast<std::uint64_t>(down + up);
    if (transfer_keeps_pace(ex->watch, ex->limits, moved, std::chrono::steady_clock::now())) return 0;
    ex->too_slow = true;
    return 1;
}

size_t on_write(char* data, size_t size, size_t count, void* user) {
    auto* ex = static_cast<exchange*>(user);
    std::size_t n = size * count;
    if (ex->response.size() + n > http_response_cap) {
        ex->too_large = true;
        return 0;
    }
    if (ex->response.empty()) {
        // One allocation of the announced size instead of doubling towards it.
        curl_off_t announced = -1;
        curl_easy_getinfo(ex->handle, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &announced);
        if (announced > 0 && static_cast<std::uint64_t>(announced) <= http_response_cap)
            ex->response.reserve(static_cast<std::size_t>(announced));
    }
    ex->response.append(data, n);
    return n;
}

size_t on_read(char* buffer, size_t size, size_t count, void* user) {
    auto* ex = static_cast<exchange*>(user);
    auto n = ex->body->read(ex->offset, buffer, size * count);
    if (!n) {
        ex->source_failed = true;
        return CURL_READFUNC_ABORT;
    }
    ex->offset += *n;
    return *n;
}

int on_seek(void* user, curl_off_t offset, int origin) {
    auto* ex = static_cast<exchange*>(user);
    if (origin != SEEK_SET || offset < 0) return CURL_SEEKFUNC_CANTSEEK;
    ex->offset = static_cast<std::uint64_t>(offset);
    return CURL_SEEKFUNC_OK;
}

struct exchange_outcome {
    CURLcode code = CURLE_OK;
    std::string operation;
    std::string message;
    unsigned status = 0;
};

template <class T>
void set_option(CURL* h, CURLoption option, T value, CURLcode& first_failure) {
    CURLcode rc = curl_easy_setopt(h, option, value);
    if (rc != CURLE_OK && first_failure == CURLE_OK) first_failure = rc;
}

exchange_outcome perform(url_check& url, const std::optional<std::string>& header_text, exchange& ex) {
    exchange_outcome out;
    easy_handle h(curl_easy_init());
    if (!h) {
        out.code = CURLE_FAILED_INIT;
        out.operation = "curl_easy_init";
        out.message = curl_easy_strerror(out.code);
        return out;
    }
    const http_limits& limits = ex.limits;
    std::string redirect_protocols = http_redirect_protocols(url.scheme);
    char error_buffer[CURL_ERROR_SIZE] = {};

    // Extra header lines, and none of libcurl's own Accept or Expect: the request carries
    // what was asked for and no 100-continue round trip.
    header_list headers;
    auto add_header = [&](const std::string& line) {
        curl_slist* grown = curl_slist_append(headers.get(), line.c_str());
        if (grown) {
            (void)headers.release();
            headers.reset(grown);
        }
    };
    if (header_text) {
        std::string_view rest = *header_text;
        while (!rest.empty()) {
            std::size_t end = rest.find("\r\n");
            std::string_view line = rest.substr(0, end);
            if (!line.empty()) add_header(std::string(line));
            if (end == std::string_view::npos) break;
            rest.remove_prefix(end + 2);
        }
    }
    add_header("Accept:");
    add_header("Expect:");

    CURLcode setopt_failure = CURLE_OK;
    CURL* e = h.get();
    set_option(e, CURLOPT_CURLU, url.url.get(), setopt_failure);
    set_option(e, CURLOPT_PROTOCOLS_STR, "http,https", setopt_failure);
    set_option(e, CURLOPT_REDIR_PROTOCOLS_STR, redirect_protocols.c_str(), setopt_failure);
    set_option(e, CURLOPT_FOLLOWLOCATION, 1L, setopt_failure);
    set_option(e, CURLOPT_MAXREDIRS, 10L, setopt_failure);
    set_option(e, CURLOPT_USERAGENT, "VelunioPrint/1.0", setopt_failure);
    set_option(e, CURLOPT_NOSIGNAL, 1L, setopt_failure);
    set_option(e, CURLOPT_CONNECTTIMEOUT_MS, limits.connect_timeout_ms, setopt_failure);
    // Credentials only ever travel as the caller's own header lines, also after a redirect to a
    // URL that names a user.
    set_option(e, CURLOPT_HTTPAUTH, CURLAUTH_NONE, setopt_failure);
    // The speed floor is the portable rule's, so both builds end the same transfers.
    ex.handle = e;
    set_option(e, CURLOPT_NOPROGRESS, 0L, setopt_failure);
    set_option(e, CURLOPT_XFERINFOFUNCTION, on_progress, setopt_failure);
    set_option(e, CURLOPT_XFERINFODATA, &ex, setopt_failure);
    set_option(e, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(http_response_cap), setopt_failure);
    if (limits.ca_file) set_option(e, CURLOPT_CAINFO, limits.ca_file->c_str(), setopt_failure);
    set_option(e, CURLOPT_ERRORBUFFER, error_buffer, setopt_failure);
    set_option(e, CURLOPT_HTTPHEADER, headers.get(), setopt_failure);
    set_option(e, CURLOPT_WRITEFUNCTION, on_write, setopt_failure);
    set_option(e, CURLOPT_WRITEDATA, &ex, setopt_failure);
    if (ex.body) {
        set_option(e, CURLOPT_POST, 1L, setopt_failure);
        set_option(e, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(ex.body->length), setopt_failure);
        set_option(e, CURLOPT_UPLOAD_BUFFERSIZE, 512L * 1024L, setopt_failure);  // fewer, larger writes
        set_option(e, CURLOPT_READFUNCTION, on_read, setopt_failure);
        set_option(e, CURLOPT_READDATA, &ex, setopt_failure);
        set_option(e, CURLOPT_SEEKFUNCTION, on_seek, setopt_failure);
        set_option(e, CURLOPT_SEEKDATA, &ex, setopt_failure);
    }
    if (setopt_failure != CURLE_OK) {
        out.code = setopt_failure;
        out.operation = "curl_easy_setopt";
        out.message = curl_easy_strerror(setopt_failure);
        return out;
    }

    out.code = curl_easy_perform(e);
    if (out.code != CURLE_OK) {
        out.operation = "curl_easy_perform";
        if (ex.too_slow) {
            out.code = CURLE_OPERATION_TIMEDOUT;
            out.message = transfer_too_slow_text(limits);
        } else {
            out.message = error_buffer[0] ? error_buffer : curl_easy_strerror(out.code);
        }
        return out;
    }
    long status = 0;
    CURLcode info = curl_easy_getinfo(e, CURLINFO_RESPONSE_CODE, &status);
    if (info != CURLE_OK) {
        out.code = info;
        out.operation = "curl_easy_getinfo";
        out.message = curl_easy_strerror(info);
        return out;
    }
    out.status = static_cast<unsigned>(status);
    return out;
}

void store_body(exchange& ex, http_result& result) {
    result.response_len = ex.response.size();
    if (!ex.response.empty()) result.response_body = std::move(ex.response);
}

bool response_too_large(const exchange_outcome& out, const exchange& ex) {
    return ex.too_large || out.code == CURLE_FILESIZE_EXCEEDED;
}

}  // namespace

void http_post(const std::string& url, const std::optional<std::string>& header_text, const http_body_source& body,
               bool without_client_certificate, http_result& result) {
    (void)without_client_certificate;  // see the note at the top
    result = http_result{};
    global_init_once();
    url_check checked = check_url(url);
    if (checked.code != CURLUE_OK) {
        result.error_text = http_error_text("curl", "curl_url_set", checked.code, curl_url_strerror(checked.code));
        return;
    }
    exchange ex;
    ex.body = &body;
    ex.limits = http_limits_from_environment();
    exchange_outcome out = perform(checked, header_text, ex);
    if (out.code == CURLE_OK) {
        result.status_code = out.status;
        store_body(ex, result);
    } else if (response_too_large(out, ex)) {
        result.error_text = http_response_too_large_text;
    } else {
        result.error_text = http_error_text("curl", out.operation, out.code, out.message);
    }
}

void http_get(const std::string& url, http_result& result) {
    result = http_result{};
    global_init_once();
    url_check checked = check_url(url);
    if (checked.code != CURLUE_OK) {
        result.error_text = "Cannot parse URL";
        return;
    }
    exchange ex;
    ex.limits = http_limits_from_environment();
    exchange_outcome out = perform(checked, std::nullopt, ex);
    if (out.code == CURLE_OK) {
        result.status_code = out.status;
        store_body(ex, result);
        return;
    }
    if (response_too_large(out, ex)) {
        result.error_text = http_response_too_large_text;
    } else if (out.operation == "curl_easy_init") {
        result.error_text = "curl_easy_init failed";
    } else if (out.operation == "curl_easy_setopt") {
        result.error_text = "curl_easy_setopt failed";
    } else {
        // Also a failure while the body was read: a cut body is not handed on as the answer.
        result.error_text = "HTTP request failed";
    }
}
