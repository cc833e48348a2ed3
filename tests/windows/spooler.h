#pragma once
// Adds ports and printers to the spooler the way an installation would: the tests' setup and
// the stand-in PowerShell's Add-Printer.

#include <windows.h>
#include <winspool.h>

#include <string>

inline void add_spooler_port(std::wstring name) {
    HANDLE monitor = nullptr;
    PRINTER_DEFAULTSW admin{nullptr, nullptr, SERVER_ACCESS_ADMINISTER};
    if (!OpenPrinterW(const_cast<wchar_t*>(L",XcvMonitor Local Port"), &monitor, &admin)) return;
    DWORD needed = 0, status = 0;
    XcvDataW(monitor, L"AddPort", reinterpret_cast<BYTE*>(name.data()), static_cast<DWORD>((name.size() + 1) * 2), nullptr,
             0, &needed, &status);
    ClosePrinter(monitor);
}

inline bool add_spooler_printer(std::wstring name, std::wstring port) {
    add_spooler_port(port);
    PRINTER_INFO_2W info{};
    info.pPrinterName = name.data();
    info.pPortName = port.data();
    info.pPrintProcessor = const_cast<wchar_t*>(L"WinPrint");
    info.pDatatype = const_cast<wchar_t*>(L"RAW");
    HANDLE printer = AddPrinterW(nullptr, 2, reinterpret_cast<BYTE*>(&info));
    if (printer) ClosePrinter(printer);
    return printer != nullptr;
}
