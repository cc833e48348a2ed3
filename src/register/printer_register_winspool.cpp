// The Windows print spooler: printers at information level 2 (name and port), ports at level 2.
// A printer that is already gone (1801) and a port that is already gone (0, 2, 1796) count as
// deleted without a word.

#include "register/printer_register.h"

#include "base/wide_text.h"
#include "register/register_log.h"

#include <windows.h>
#include <winspool.h>

#include <vector>

namespace {

std::string narrow(const wchar_t* text) { return text ? from_wide(text) : std::string(); }

// The size query, then the fetch; nullopt when either fails. `fetch(buffer, size, needed, count)`.
template <class Fetch>
std::optional<std::pair<std::vector<BYTE>, DWORD>> enumerate(Fetch fetch) {
    DWORD needed = 0, count = 0;
    fetch(nullptr, 0, &needed, &count);
    if (needed == 0) return std::make_pair(std::vector<BYTE>(), DWORD{0});
    std::vector<BYTE> buffer(needed);
    if (!fetch(buffer.data(), needed, &needed, &count)) return std::nullopt;
    return std::make_pair(std::move(buffer), count);
}

bool delete_printer_by_name(const std::string& name) {
    std::wstring w = to_wide(name);
    PRINTER_DEFAULTSW access{nullptr, nullptr, PRINTER_ALL_ACCESS};
    HANDLE printer = nullptr;
    if (!OpenPrinterW(w.data(), &printer, &access)) {
        DWORD error = GetLastError();
        if (error == ERROR_INVALID_PRINTER_NAME) return true;
        reg_log("OpenPrinter('%s') for delete failed (err=%lu)", name.c_str(), error);
        return false;
    }
    bool deleted = DeletePrinter(printer) != 0;
    if (!deleted) reg_log("DeletePrinter('%s') failed (err=%lu)", name.c_str(), GetLastError());
    ClosePrinter(printer);
    return deleted;
}

bool delete_port(const std::string& name) {
    std::wstring w = to_wide(name);
    if (DeletePortW(nullptr, nullptr, w.data())) {
        reg_log("DeletePort '%s' ok", name.c_str());
        return true;
    }
    DWORD error = GetLastError();
    if (error == 0 || error == ERROR_FILE_NOT_FOUND || error == ERROR_UNKNOWN_PORT) return true;
    reg_log("DeletePort '%s' failed (err=%lu)", name.c_str(), error);
    return false;
}

}  // namespace

std::optional<std::vector<queue_info>> list_queues() {
    auto listed = enumerate([](BYTE* buffer, DWORD size, DWORD* needed, DWORD* count) {
        return EnumPrintersW(PRINTER_ENUM_LOCAL | PRINTER_ENUM_CONNECTIONS, nullptr, 2, buffer, size, needed, count);
    });
    if (!listed) return std::nullopt;
    std::vector<queue_info> queues;
    const auto* printers = reinterpret_cast<const PRINTER_INFO_2W*>(listed->first.data());
    for (DWORD i = 0; i < listed->second; ++i) {
        if (!printers[i].pPrinterName) continue;
        queues.push_back({narrow(printers[i].pPrinterName), {}, narrow(printers[i].pPortName)});
    }
    return queues;
}

void delete_flow_queue(const queue_info& queue) {
    delete_printer_by_name(queue.name);
    if (!queue.device_uri.empty()) delete_port(queue.device_uri);
}

std::optional<std::vector<stale_port>> list_ports() {
    auto listed = enumerate([](BYTE* buffer, DWORD size, DWORD* needed, DWORD* count) {
        return EnumPortsW(nullptr, 2, buffer, size, needed, count);
    });
    if (!listed) return std::nullopt;
    std::vector<stale_port> ports;
    const auto* info = reinterpret_cast<const PORT_INFO_2W*>(listed->first.data());
    for (DWORD i = 0; i < listed->second; ++i)
        if (info[i].pPortName) ports.push_back({narrow(info[i].pPortName), {}});
    return ports;
}

void delete_stale_port(const stale_port& port) { delete_port(port.name); }
