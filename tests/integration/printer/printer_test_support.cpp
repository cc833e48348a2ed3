#include "printer_test_support.h"

#include "base/output_folder.h"
#include "printer/flow_file.h"
#include "printer/service_config.h"

#include <cairo.h>
#include <cups/raster.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <random>
#include <regex>
#include <thread>

using namespace std::chrono_literals;

namespace {
constexpr const char* changed_variables[] = {
    "HOME", "XDG_DATA_HOME", "XDG_CONFIG_HOME", "XDG_RUNTIME_DIR", "VELUNIO_OUTPUT_DIR",
    "VELUNIO_IPP_PORT", "PAPPL_NO_STATUS_UI", "VELUNIO_LOG_FILE", "VELUNIO_LOG_LEVEL",
};

struct ipp_deleter {
    void operator()(ipp_t* ipp) const { ippDelete(ipp); }
};
using ipp_ptr = std::unique_ptr<ipp_t, ipp_deleter>;
struct http_closer {
    void operator()(http_t* http) const { httpClose(http); }
};

http_t* connect(int port)
{
    return httpConnect2("localhost", port, nullptr, AF_UNSPEC, HTTP_ENCRYPTION_IF_REQUESTED, 1, 5000, nullptr);
}

ipp_t* new_request(ipp_op_t op, int port, const char* resource)
{
    ipp_t* request = ippNewRequest(op);
    std::string uri = "ipp://localhost:" + std::to_string(port) + resource;
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, uri.c_str());
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr, "tester");
    return request;
}

ipp_ptr do_request(int port, const char* resource, ipp_t* request)
{
    std::unique_ptr<http_t, http_closer> http(connect(port));
    if (!http) {
        ippDelete(request);
        return nullptr;
    }
    return ipp_ptr(cupsDoRequest(http.get(), request, resource));
}
}  // namespace

environment_guard::environment_guard()
{
    for (const char* name : changed_variables) {
        const char* value = std::getenv(name);
        saved_.emplace_back(name, value ? std::optional<std::string>(value) : std::nullopt);
    }
}

environment_guard::~environment_guard()
{
    for (const auto& [name, value] : saved_) {
        if (value)
            setenv(name.c_str(), value->c_str(), 1);
        else
            unsetenv(name.c_str());
    }
}

int free_loopback_port()
{
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
    socklen_t len = sizeof(addr);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    ::close(fd);
    return ntohs(addr.sin_port);
}

service_environment prepare_service_environment(const std::string& root)
{
    service_environment env{root, root + "/out", free_loopback_port()};
    for (const char* sub : {"/home", "/runtime"})
        ::mkdir((root + sub).c_str(), 0700);
    prepare_output_folder(env.output);
    setenv("HOME", (root + "/home").c_str(), 1);
    setenv("XDG_DATA_HOME", (root + "/home").c_str(), 1);
    setenv("XDG_CONFIG_HOME", (root + "/home").c_str(), 1);
    setenv("XDG_RUNTIME_DIR", (root + "/runtime").c_str(), 1);
    setenv("VELUNIO_OUTPUT_DIR", env.output.c_str(), 1);
    setenv("VELUNIO_IPP_PORT", std::to_string(env.port).c_str(), 1);
    setenv("PAPPL_NO_STATUS_UI", "1", 1);
    setenv("VELUNIO_LOG_FILE", (env.output + "/velunio-print.log").c_str(), 1);
    setenv("VELUNIO_LOG_LEVEL", "warn", 1);
    return env;
}

bool wait_until(const std::function<bool()>& condition, std::chrono::milliseconds limit)
{
    auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        if (condition())
            return true;
        std::this_thread::sleep_for(10ms);
    }
    return condition();
}

bool wait_for_printers(int port, std::chrono::milliseconds limit)
{
    return wait_until(
        [&] {
            for (const char* resource : {sign_myself_resource, request_signature_resource}) {
                ipp_ptr response = do_request(port, resource, new_request(IPP_OP_GET_PRINTER_ATTRIBUTES, port, resource));
                if (!response || ippGetStatusCode(response.get()) != IPP_STATUS_OK)
                    return false;
            }
            return true;
        },
        limit);
}

bool wait_for_port_closed(int port, std::chrono::milliseconds limit)
{
    return wait_until(
        [&] {
            int fd = ::socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in addr{};
            addr.sin_family = AF_INET;
            addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            addr.sin_port = htons(static_cast<uint16_t>(port));
            bool refused = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0;
            ::close(fd);
            return refused;
        },
        limit);
}

process_result run_process(const std::vector<std::string>& argv, std::chrono::seconds limit)
{
    // The programs run here (pdfinfo, ipptool) end by themselves; `timeout` bounds them anyway.
    std::string command = "timeout " + std::to_string(limit.count());
    for (const std::string& arg : argv) {
        std::string quoted = "'";
        for (char c : arg)
            quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
        command += " " + quoted + "'";
    }
    process_result result;
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(::popen((command + " 2>&1").c_str(), "r"), ::pclose);
    if (!pipe)
        return result;
    char buffer[4096];
    for (std::size_t got; (got = std::fread(buffer, 1, sizeof(buffer), pipe.get())) > 0;)
        result.output.append(buffer, got);
    int status = ::pclose(pipe.release());
    result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

streaming_job::streaming_job(int port, const char* resource, const std::string& job_name, const std::string& format,
                             const std::map<std::string, std::string>& attributes)
    : http_(connect(port)), resource_(resource)
{
    if (!http_)
        return;
    ipp_ptr request(new_request(IPP_OP_PRINT_JOB, port, resource));
    ippAddString(request.get(), IPP_TAG_OPERATION, IPP_TAG_NAME, "job-name", nullptr, job_name.c_str());
    ippAddString(request.get(), IPP_TAG_OPERATION, IPP_TAG_MIMETYPE, "document-format", nullptr, format.c_str());
    for (const auto& [name, value] : attributes)
        ippAddString(request.get(), IPP_TAG_JOB, IPP_TAG_KEYWORD, name.c_str(), nullptr, value.c_str());
    status_ = cupsSendRequest(http_, request.get(), resource, CUPS_LENGTH_VARIABLE);
}

streaming_job::~streaming_job()
{
    if (http_)
        httpClose(http_);
}

bool streaming_job::send(const std::string& bytes)
{
    for (std::size_t at = 0; at < bytes.size(); at += 65536)
        if (cupsWriteRequestData(http_, bytes.data() + at, std::min<std::size_t>(65536, bytes.size() - at)) !=
            HTTP_STATUS_CONTINUE)
            return false;
    return true;
}

void streaming_job::abandon()
{
    if (http_) {
        httpShutdown(http_);
        httpClose(http_);
        http_ = nullptr;
    }
}

std::optional<int> streaming_job::finish()
{
    ipp_ptr response(cupsGetResponse(http_, resource_.c_str()));
    if (!response || ippGetStatusCode(response.get()) > IPP_STATUS_OK_EVENTS_COMPLETE)
        return std::nullopt;
    ipp_attribute_t* id = ippFindAttribute(response.get(), "job-id", IPP_TAG_INTEGER);
    return id ? std::optional<int>(ippGetInteger(id, 0)) : std::nullopt;
}

std::optional<int> print_job(int port, const char* resource, const std::string& job_name, const std::string& format,
                             const std::string& document, const std::map<std::string, std::string>& attributes)
{
    streaming_job job(port, resource, job_name, format, attributes);
    if (!job.started() || !job.send(document))
        return std::nullopt;
    return job.finish();
}

std::optional<job_status> job_status_of(int port, const char* resource, int job_id)
{
    ipp_t* request = new_request(IPP_OP_GET_JOB_ATTRIBUTES, port, resource);
    ippAddInteger(request, IPP_TAG_OPERATION, IPP_TAG_INTEGER, "job-id", job_id);
    ipp_ptr response = do_request(port, resource, request);
    ipp_attribute_t* state = ippFindAttribute(response.get(), "job-state", IPP_TAG_ENUM);
    if (!state)
        return std::nullopt;
    job_status status;
    status.state = ippGetInteger(state, 0);
    if (ipp_attribute_t* done = ippFindAttribute(response.get(), "job-impressions-completed", IPP_TAG_INTEGER))
        status.impressions_completed = ippGetInteger(done, 0);
    ipp_attribute_t* reasons = ippFindAttribute(response.get(), "job-state-reasons", IPP_TAG_KEYWORD);
    for (int i = 0; reasons && i < ippGetCount(reasons); ++i)
        status.reasons.emplace_back(ippGetString(reasons, i, nullptr));
    return status;
}

std::optional<job_status> wait_for_job_end(int port, const char* resource, int job_id, std::chrono::milliseconds limit)
{
    std::optional<job_status> status;
    bool ended = wait_until(
        [&] {
            status = job_status_of(port, resource, job_id);
            return status && status->state >= IPP_JSTATE_CANCELED;
        },
        limit);
    return ended ? status : std::nullopt;
}

bool cancel_job(int port, const char* resource, int job_id)
{
    ipp_t* request = new_request(IPP_OP_CANCEL_JOB, port, resource);
    ippAddInteger(request, IPP_TAG_OPERATION, IPP_TAG_INTEGER, "job-id", job_id);
    ipp_ptr response = do_request(port, resource, request);
    return response && ippGetStatusCode(response.get()) == IPP_STATUS_OK;
}

std::string text_pdf(double width_pt, double height_pt, const std::string& text, std::size_t size)
{
    std::string content = "BT /F1 18 Tf 72 72 Td (" + text + ") Tj ET";
    std::vector<std::string> objects{
        "<< /Type /Catalog /Pages 2 0 R >>",
        "<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
        "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 " + std::to_string(width_pt) + " " + std::to_string(height_pt) +
            "] /Contents 4 0 R /Resources << /Font << /F1 5 0 R >> >> >>",
        "<< /Length " + std::to_string(content.size()) + " >>\nstream\n" + content + "\nendstream",
        "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>",
    };
    std::string pdf = "%PDF-1.4\n%\xe2\xe3\xcf\xd3\n";
    // Padding in a comment makes the file as large as asked without changing the page.
    std::mt19937 random(static_cast<unsigned>(size));
    while (pdf.size() + 80 < size) {
        pdf += '%';
        for (int i = 0; i < 78; ++i)
            pdf += static_cast<char>('a' + random() % 26);
        pdf += '\n';
    }
    std::vector<std::size_t> offsets;
    for (std::size_t i = 0; i < objects.size(); ++i) {
        offsets.push_back(pdf.size());
        pdf += std::to_string(i + 1) + " 0 obj\n" + objects[i] + "\nendobj\n";
    }
    std::size_t xref = pdf.size();
    pdf += "xref\n0 " + std::to_string(objects.size() + 1) + "\n0000000000 65535 f \n";
    for (std::size_t offset : offsets) {
        char line[32];
        std::snprintf(line, sizeof(line), "%010zu 00000 n \n", offset);
        pdf += line;
    }
    pdf += "trailer\n<< /Size " + std::to_string(objects.size() + 1) + " /Root 1 0 R >>\nstartxref\n" +
           std::to_string(xref) + "\n%%EOF\n";
    return pdf;
}

namespace {
ssize_t append_to_string(void* ctx, unsigned char* buffer, std::size_t length)
{
    static_cast<std::string*>(ctx)->append(reinterpret_cast<char*>(buffer), length);
    return static_cast<ssize_t>(length);
}

cairo_status_t append_png(void* ctx, const unsigned char* data, unsigned length)
{
    static_cast<std::string*>(ctx)->append(reinterpret_cast<const char*>(data), length);
    return CAIRO_STATUS_SUCCESS;
}
}  // namespace

std::string make_raster(int pages, unsigned width, unsigned height, unsigned dpi, bool apple)
{
    std::string out;
    cups_raster_t* ras = cupsRasterOpenIO(append_to_string, &out, apple ? CUPS_RASTER_WRITE_APPLE : CUPS_RASTER_WRITE_PWG);
    std::mt19937 random(7);
    std::vector<unsigned char> line(width * 3);
    for (int page = 0; page < pages; ++page) {
        cups_page_header2_t header;
        cupsRasterInitPWGHeader(&header, pwgMediaForPWG("na_index-3x5_3x5in"), "srgb_8", static_cast<int>(dpi),
                                static_cast<int>(dpi), "one-sided", nullptr);
        header.cupsWidth = width;
        header.cupsHeight = height;
        header.cupsBytesPerLine = width * 3;
        header.PageSize[0] = width * 72 / dpi;
        header.PageSize[1] = height * 72 / dpi;
        header.cupsInteger[CUPS_RASTER_PWG_TotalPageCount] = static_cast<unsigned>(pages);
        cupsRasterWriteHeader2(ras, &header);
        for (unsigned y = 0; y < height; ++y) {
            for (auto& b : line)
                b = static_cast<unsigned char>(random());
            cupsRasterWritePixels(ras, line.data(), static_cast<unsigned>(line.size()));
        }
    }
    cupsRasterClose(ras);
    return out;
}

std::string make_png(int width, int height)
{
    cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, width, height);
    cairo_t* cr = cairo_create(surface);
    cairo_set_source_rgba(cr, 0, 0, 1, 0.8);
    cairo_paint(cr);
    cairo_destroy(cr);
    std::string png;
    cairo_surface_write_to_png_stream(surface, append_png, &png);
    cairo_surface_destroy(surface);
    return png;
}

std::optional<pdf_facts> pdf_info(const std::string& path)
{
    process_result info = run_process({"pdfinfo", path}, std::chrono::seconds(20));
    std::smatch pages, size;
    if (info.exit_code != 0 || !std::regex_search(info.output, pages, std::regex(R"(Pages:\s+(\d+))")) ||
        !std::regex_search(info.output, size, std::regex(R"(Page size:\s+([\d.]+) x ([\d.]+) pts)")))
        return std::nullopt;
    return pdf_facts{std::stoi(pages[1]), std::stod(size[1]), std::stod(size[2])};
}

std::vector<std::string> pdf_files(const std::string& folder)
{
    std::vector<std::string> names;
    for (const std::string& name : flow_list_folder(folder))
        if (name.size() > 4 && name.ends_with(".pdf"))
            names.push_back(name);
    std::sort(names.begin(), names.end());
    return names;
}

bool wait_for_pdf_files(const std::string& folder, std::size_t count, std::chrono::milliseconds limit)
{
    return wait_until([&] { return pdf_files(folder).size() >= count; }, limit);
}

std::vector<std::string> temp_files(const std::string& folder)
{
    std::vector<std::string> names;
    for (const std::string& name : flow_list_folder(folder))
        if (is_flow_temp_name(name))
            names.push_back(name);
    return names;
}
