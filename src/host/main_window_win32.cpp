// The main window on Windows: a Win32 window whose whole area is client, with the title strip
// drawn in GDI at the window's DPI. It is also where worker results reach the main thread:
// each arrives as its own posted message carrying the payload.

#include "host/main_window.h"
#include "host/main_window_win32.h"

#include "base/app_log.h"
#include "base/main_loop.h"
#include "base/platform.h"
#include "base/posted_messages.h"

#include <windows.h>
#include <windowsx.h>
#include <dwmapi.h>

#include <atomic>
#include <cmath>
#include <memory>
#include <mutex>
#include <type_traits>
#include <unordered_set>

namespace {

constexpr wchar_t window_class_name[] = L"VelunioPrintApp";
constexpr wchar_t window_title[] = L"Velunio Printaro";
constexpr int app_icon = 101;
constexpr int creation_width = 514;
constexpr int creation_height = 442;
// A payload's kind is its message's offset from the first.
constexpr UINT first_result_message = WM_USER + 100;
constexpr UINT last_result_message = first_result_message + std::variant_size_v<posted_payload> - 1;
constexpr DWORD caption_colour_attribute = 35;  // DWMWA_CAPTION_COLOR, newer than the mingw-w64 headers

struct gdi_deleter {
    void operator()(void* object) const { DeleteObject(static_cast<HGDIOBJ>(object)); }
};
using brush_ptr = std::unique_ptr<std::remove_pointer_t<HBRUSH>, gdi_deleter>;
using pen_ptr = std::unique_ptr<std::remove_pointer_t<HPEN>, gdi_deleter>;

// Read by posting threads; set on the main thread.
std::atomic<HWND> window{nullptr};
int hover_button = title_button_none;
// The creation size of 514 x 442 is held to 414 at once: the page has not chosen a size yet.
int logical_width = 514;
int logical_height = 414;
rgb_colour background = start_background_colour;
brush_ptr background_brush;
copy_data_receiver hand_over_receiver = nullptr;

// Payloads posted and not yet taken. Only a pointer that this process posted is taken back, so
// a stray message of the same number from another program cannot make the window free memory.
std::mutex in_flight_lock;
std::unordered_set<const posted_payload*> in_flight;

COLORREF colour_ref(rgb_colour c) { return RGB(c.r, c.g, c.b); }

int dpi_of(HWND hwnd) {
    UINT dpi = GetDpiForWindow(hwnd);
    return dpi == 0 ? 96 : static_cast<int>(dpi);
}

int client_right(HWND hwnd) {
    RECT client{};
    GetClientRect(hwnd, &client);
    return client.right;
}

int button_at(HWND hwnd, int x, int y) {
    return hit_test_title_button(title_bar_metrics_at(dpi_of(hwnd)), client_right(hwnd), x, y);
}

void invalidate_strip(HWND hwnd) {
    RECT strip{0, 0, client_right(hwnd), title_bar_metrics_at(dpi_of(hwnd)).height};
    InvalidateRect(hwnd, &strip, FALSE);
}

void set_hover(HWND hwnd, int button) {
    if (button == hover_button) return;
    hover_button = button;
    invalidate_strip(hwnd);
}

void set_caption_colour(HWND hwnd, rgb_colour colour) {
    COLORREF value = colour_ref(colour);
    DwmSetWindowAttribute(hwnd, caption_colour_attribute, &value, sizeof value);
}

void fill(HDC dc, const title_rect& r, HBRUSH brush) {
    RECT area{r.left, r.top, r.right, r.bottom};
    FillRect(dc, &area, brush);
}

int step(double from, double to) { return to > from ? 1 : to < from ? -1 : 0; }

// The layout names a line by its first and last pixel; GDI stops one pixel before the point it
// is given, so the line is drawn to one step past the last.
void draw_line(HDC dc, const title_line& line, rgb_colour colour, int width) {
    pen_ptr pen(CreatePen(PS_SOLID, width, colour_ref(colour)));
    if (!pen) return;
    HGDIOBJ previous = SelectObject(dc, pen.get());
    const int x0 = static_cast<int>(std::floor(line.x0)), y0 = static_cast<int>(std::floor(line.y0));
    const int x1 = static_cast<int>(std::floor(line.x1)), y1 = static_cast<int>(std::floor(line.y1));
    MoveToEx(dc, x0, y0, nullptr);
    LineTo(dc, x1 + step(line.x0, line.x1), y1 + step(line.y0, line.y1));
    SelectObject(dc, previous);
}

void paint_title_bar(HWND hwnd, HDC dc) {
    const title_bar_metrics m = title_bar_metrics_at(dpi_of(hwnd));
    const title_bar_layout l = layout_title_bar(m, client_right(hwnd));
    const title_bar_colours c = title_bar_colours_for(hover_button, background);
    fill(dc, l.strip, background_brush ? background_brush.get() : static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));
    if (c.fill_close) {
        brush_ptr brush(CreateSolidBrush(colour_ref(c.close_fill)));
        if (brush) fill(dc, l.close_button, brush.get());
    }
    draw_line(dc, l.cross_a, c.close_glyph, m.pen_width);
    draw_line(dc, l.cross_b, c.close_glyph, m.pen_width);
    if (c.fill_minimise) {
        brush_ptr brush(CreateSolidBrush(colour_ref(c.minimise_fill)));
        if (brush) fill(dc, l.minimise_button, brush.get());
    }
    draw_line(dc, l.dash, c.minimise_glyph, m.pen_width);
}

void paint(HWND hwnd) {
    PAINTSTRUCT ps;
    HDC dc = BeginPaint(hwnd, &ps);
    if (background_brush) {
        RECT client{};
        GetClientRect(hwnd, &client);
        FillRect(dc, &client, background_brush.get());
    }
    paint_title_bar(hwnd, dc);
    EndPaint(hwnd, &ps);
}

// The strip is a caption, so that the system moves the window by it; its buttons and
// everything below it are client.
LRESULT hit_test(HWND hwnd, LPARAM lparam) {
    POINT p{GET_X_LPARAM(lparam), GET_Y_LPARAM(lparam)};
    ScreenToClient(hwnd, &p);
    const title_bar_metrics m = title_bar_metrics_at(dpi_of(hwnd));
    if (p.y < 0 || p.y >= m.height || hit_test_title_button(m, client_right(hwnd), p.x, p.y) != title_button_none)
        return HTCLIENT;
    return HTCAPTION;
}

void on_mouse_move(HWND hwnd, LPARAM lparam) {
    set_hover(hwnd, button_at(hwnd, GET_X_LPARAM(lparam), GET_Y_LPARAM(lparam)));
    TRACKMOUSEEVENT track{};
    track.cbSize = sizeof track;
    track.dwFlags = TME_LEAVE;
    track.hwndTrack = hwnd;
    TrackMouseEvent(&track);
}

// The buttons act on the release alone; the hover is reset so that a window shown again does
// not come back with a highlighted button.
void on_button_release(HWND hwnd, LPARAM lparam) {
    switch (button_at(hwnd, GET_X_LPARAM(lparam), GET_Y_LPARAM(lparam))) {
        case title_button_close:
            set_hover(hwnd, title_button_none);
            PostMessageW(hwnd, WM_CLOSE, 0, 0);
            break;
        case title_button_minimise:
            set_hover(hwnd, title_button_none);
            ShowWindow(hwnd, SW_MINIMIZE);
            break;
        default:
            break;
    }
}

// Both tracking limits are the page's size, so the user cannot resize the window.
void limit_size(HWND hwnd, MINMAXINFO* info) {
    const int dpi = dpi_of(hwnd);
    const POINT size{MulDiv(logical_width, dpi, 96), MulDiv(logical_height, dpi, 96)};
    info->ptMinTrackSize = size;
    info->ptMaxTrackSize = size;
}

void on_dpi_changed(HWND hwnd, WPARAM wparam, const RECT* suggested) {
    const int dpi = HIWORD(wparam);
    SetWindowPos(hwnd, nullptr, suggested->left, suggested->top, MulDiv(logical_width, dpi, 96),
                 MulDiv(logical_height, dpi, 96), SWP_NOZORDER | SWP_NOACTIVATE);
}

void on_copy_data(const COPYDATASTRUCT* data) {
    if (hand_over_receiver) hand_over_receiver(data ? data->lpData : nullptr, data ? data->cbData : 0);
    else show_and_raise_main_window();
}

void on_result(LPARAM lparam) {
    auto* raw = reinterpret_cast<posted_payload*>(lparam);
    {
        std::lock_guard guard(in_flight_lock);
        if (in_flight.erase(raw) == 0) {
            app_log("[window] Ignored a result message that this program did not post");
            return;
        }
    }
    std::unique_ptr<posted_payload> payload(raw);
    deliver_posted_payload(*payload);
}

// Any thread.
bool post_result(std::unique_ptr<posted_payload>& payload) {
    HWND target = window.load();
    if (target == nullptr) return false;
    const posted_payload* key = payload.get();
    {
        std::lock_guard guard(in_flight_lock);
        in_flight.insert(key);
    }
    const UINT message = first_result_message + static_cast<UINT>(payload->index());
    if (PostMessageW(target, message, 0, reinterpret_cast<LPARAM>(key))) {
        payload.release();  // the main thread owns it now
        return true;
    }
    app_log("[window] PostMessage failed: %s", system_error_text(GetLastError()).c_str());
    std::lock_guard guard(in_flight_lock);
    in_flight.erase(key);
    return false;
}

LRESULT CALLBACK main_window_proc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message >= first_result_message && message <= last_result_message) {
        on_result(lparam);
        return 0;
    }
    switch (message) {
        case WM_DESTROY:
            window.store(nullptr);
            quit_main_loop(0);
            return 0;
        case WM_SIZE:
            return 0;
        case WM_PAINT:
            paint(hwnd);
            return 0;
        case WM_CLOSE:
            ShowWindow(hwnd, SW_HIDE);
            return 0;
        case WM_ERASEBKGND:
            return 1;
        case WM_SHOWWINDOW:
            if (wparam) InvalidateRect(hwnd, nullptr, FALSE);
            break;
        case WM_GETMINMAXINFO:
            limit_size(hwnd, reinterpret_cast<MINMAXINFO*>(lparam));
            return 0;
        case WM_COPYDATA:
            on_copy_data(reinterpret_cast<const COPYDATASTRUCT*>(lparam));
            return TRUE;
        case WM_NCCALCSIZE:
            if (wparam) return 0;  // the whole window is client area
            break;
        case WM_NCHITTEST:
            return hit_test(hwnd, lparam);
        case WM_NCACTIVATE:
            InvalidateRect(hwnd, nullptr, FALSE);
            break;
        case WM_MOUSEMOVE:
            on_mouse_move(hwnd, lparam);
            return 0;
        case WM_LBUTTONUP:
            on_button_release(hwnd, lparam);
            return 0;
        case WM_MOUSELEAVE:
            set_hover(hwnd, title_button_none);
            return 0;
        case WM_DPICHANGED:
            on_dpi_changed(hwnd, wparam, reinterpret_cast<const RECT*>(lparam));
            return 0;
        default:
            break;
    }
    return DefWindowProcW(hwnd, message, wparam, lparam);
}

}  // namespace

void set_copy_data_receiver(copy_data_receiver receiver) { hand_over_receiver = receiver; }

bool create_main_window(bool start_hidden) {
    HINSTANCE instance = GetModuleHandleW(nullptr);
    WNDCLASSEXW window_class{};
    window_class.cbSize = sizeof window_class;
    window_class.lpfnWndProc = main_window_proc;
    window_class.hInstance = instance;
    window_class.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(app_icon));
    window_class.hIconSm = window_class.hIcon;
    window_class.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));  // IDC_ARROW
    window_class.lpszClassName = window_class_name;
    RegisterClassExW(&window_class);

    const int dpi = static_cast<int>(GetDpiForSystem());
    const int width = MulDiv(creation_width, dpi, 96);
    const int height = MulDiv(creation_height, dpi, 96);
    HWND created = CreateWindowExW(0, window_class_name, window_title, WS_CAPTION | WS_THICKFRAME,
                                   (GetSystemMetrics(SM_CXSCREEN) - width) / 2,
                                   (GetSystemMetrics(SM_CYSCREEN) - height) / 2, width, height, nullptr, nullptr,
                                   instance, nullptr);
    if (created == nullptr) {
        app_log("[window] The main window could not be created: %s", system_error_text(GetLastError()).c_str());
        return false;
    }
    // Without the caption style and with the frame one pixel into the client area, the whole
    // window is client and keeps the system's shadow.
    SetWindowLongPtrW(created, GWL_STYLE, GetWindowLongPtrW(created, GWL_STYLE) & ~static_cast<LONG_PTR>(WS_CAPTION));
    const MARGINS margins{1, 1, 1, 1};
    DwmExtendFrameIntoClientArea(created, &margins);
    SetWindowPos(created, nullptr, 0, 0, 0, 0, SWP_FRAMECHANGED | SWP_NOMOVE | SWP_NOSIZE | SWP_NOZORDER);
    // A second start may run at a lower integrity level (a browser's protocol handler).
    ChangeWindowMessageFilterEx(created, WM_COPYDATA, MSGFLT_ALLOW, nullptr);
    background_brush.reset(CreateSolidBrush(colour_ref(background)));
    set_caption_colour(created, background);

    window.store(created);
    set_posted_message_sender(post_result);
    if (!start_hidden) {
        ShowWindow(created, SW_SHOW);
        UpdateWindow(created);
    }
    return true;
}

void show_and_raise_main_window() {
    HWND hwnd = window.load();
    if (hwnd == nullptr) return;
    ShowWindow(hwnd, SW_SHOW);
    ShowWindow(hwnd, SW_RESTORE);
    SetForegroundWindow(hwnd);
    InvalidateRect(hwnd, nullptr, TRUE);
}

void apply_window_size(int logical_w, int logical_h_without_title) {
    // Stored before the window moves: the tracking limits follow these values.
    logical_width = logical_w;
    logical_height = logical_h_without_title + title_bar_height;
    HWND hwnd = window.load();
    if (hwnd == nullptr) return;
    const int dpi = dpi_of(hwnd);
    const int width = MulDiv(logical_width, dpi, 96);
    const int height = MulDiv(logical_height, dpi, 96);
    RECT r{};
    GetWindowRect(hwnd, &r);
    // Grows and shrinks upwards: the bottom-left corner stays where it was.
    SetWindowPos(hwnd, nullptr, r.left, r.bottom - height, width, height, SWP_NOZORDER);
}

void set_main_window_background(rgb_colour colour) {
    background = colour;
    background_brush.reset(CreateSolidBrush(colour_ref(colour)));
    HWND hwnd = window.load();
    if (hwnd == nullptr) return;
    set_caption_colour(hwnd, colour);
    InvalidateRect(hwnd, nullptr, TRUE);
}

rgb_colour main_window_background() { return background; }
