#include "host/main_window.h"

#include "base/app_log.h"
#include "base/app_state.h"
#include "base/platform.h"
#include "base/main_loop.h"
#include "host/web_view.h"

#include <gtk/gtk.h>

#include <optional>
#include <string>

#ifndef VELUNIO_INSTALLED_ICON
#define VELUNIO_INSTALLED_ICON "/usr/share/icons/hicolor/scalable/apps/velunio-printaro.svg"
#endif

namespace {

GtkWidget* window = nullptr;
GtkWidget* content_box = nullptr;
GtkWidget* strip = nullptr;
int hover_button = title_button_none;
// The creation size of 514 x 442 is held to 414 at once: the page has not chosen a size yet.
int logical_width = 514;
int logical_height = 414;
rgb_colour background = start_background_colour;

// Where the window's bottom-left corner is, once known. Kept here rather than read back from
// the window: the window system answers with the old place until it has carried out the last
// move, and GTK centres a hidden window again when it is shown.
struct corner {
    int x = 0;
    int bottom = 0;
};
std::optional<corner> bottom_left;

corner current_bottom_left() {
    if (!bottom_left) {
        int x = 0, y = 0;
        gtk_window_get_position(GTK_WINDOW(window), &x, &y);
        bottom_left = corner{x, y + logical_height};
    }
    return *bottom_left;
}

void place_at_bottom_left() {
    corner c = current_bottom_left();
    gtk_window_move(GTK_WINDOW(window), c.x, c.bottom - logical_height);
}

// A move by the user (or the window manager) becomes the new corner; the passing sizes of a
// resize still in progress do not.
gboolean on_configure(GtkWidget* widget, GdkEventConfigure* event, gpointer) {
    if (event->width == logical_width && event->height == logical_height) {
        int x = 0, y = 0;
        gtk_window_get_position(GTK_WINDOW(widget), &x, &y);
        bottom_left = corner{x, y + event->height};
    }
    return FALSE;
}

void show_in_place() {
    if (bottom_left) place_at_bottom_left();
    gtk_widget_show(window);
}

void set_source(cairo_t* cr, rgb_colour c) { cairo_set_source_rgb(cr, c.r / 255.0, c.g / 255.0, c.b / 255.0); }

void fill(cairo_t* cr, const title_rect& r, rgb_colour c) {
    set_source(cr, c);
    cairo_rectangle(cr, r.left, r.top, r.right - r.left, r.bottom - r.top);
    cairo_fill(cr);
}

void stroke(cairo_t* cr, const title_line& l, rgb_colour c) {
    set_source(cr, c);
    cairo_move_to(cr, l.x0, l.y0);
    cairo_line_to(cr, l.x1, l.y1);
    cairo_stroke(cr);
}

gboolean on_draw(GtkWidget* widget, cairo_t* cr, gpointer) {
    const title_bar_layout l = layout_title_bar(gtk_widget_get_allocated_width(widget));
    const title_bar_colours c = title_bar_colours_for(hover_button, background);
    fill(cr, l.strip, c.strip);
    if (c.fill_close) fill(cr, l.close_button, c.close_fill);
    if (c.fill_minimise) fill(cr, l.minimise_button, c.minimise_fill);
    // Cairo works in logical units: GTK's scale factor widens the pen with everything else.
    cairo_set_line_width(cr, title_pen_width);
    cairo_set_line_cap(cr, CAIRO_LINE_CAP_SQUARE);
    cairo_set_antialias(cr, CAIRO_ANTIALIAS_NONE);
    stroke(cr, l.cross_a, c.close_glyph);
    stroke(cr, l.cross_b, c.close_glyph);
    stroke(cr, l.dash, c.minimise_glyph);
    return TRUE;
}

int hit(GtkWidget* widget, double x, double y) {
    return hit_test_title_button(gtk_widget_get_allocated_width(widget), static_cast<int>(x), static_cast<int>(y));
}

void set_hover(int b) {
    if (b == hover_button) return;
    hover_button = b;
    gtk_widget_queue_draw(strip);
}

gboolean on_motion(GtkWidget* widget, GdkEventMotion* event, gpointer) {
    set_hover(hit(widget, event->x, event->y));
    return TRUE;
}

// A pointer that lands on the strip without moving over it (a warp, a window shown under
// it) sends only the crossing.
gboolean on_enter(GtkWidget* widget, GdkEventCrossing* event, gpointer) {
    set_hover(hit(widget, event->x, event->y));
    return TRUE;
}

gboolean on_leave(GtkWidget*, GdkEventCrossing* event, gpointer) {
    // A press on a button grabs the pointer; the crossing that the grab causes is no leave.
    if (event->mode == GDK_CROSSING_NORMAL) set_hover(title_button_none);
    return TRUE;
}

gboolean on_press(GtkWidget* widget, GdkEventButton* event, gpointer) {
    if (event->button != GDK_BUTTON_PRIMARY || event->type != GDK_BUTTON_PRESS) return TRUE;
    if (hit(widget, event->x, event->y) == title_button_none) {
        gtk_window_begin_move_drag(GTK_WINDOW(window), static_cast<gint>(event->button),
                                   static_cast<gint>(event->x_root), static_cast<gint>(event->y_root), event->time);
    }
    return TRUE;
}

// The buttons act on the release alone, wherever the press was.
gboolean on_release(GtkWidget* widget, GdkEventButton* event, gpointer) {
    if (event->button != GDK_BUTTON_PRIMARY) return TRUE;
    switch (hit(widget, event->x, event->y)) {
        case title_button_close:
            set_hover(title_button_none);
            gtk_widget_hide(window);
            break;
        case title_button_minimise:
            set_hover(title_button_none);
            gtk_window_iconify(GTK_WINDOW(window));
            break;
        default:
            break;
    }
    return TRUE;
}

// Closing hides the window; the program keeps serving the printers.
gboolean on_delete(GtkWidget* widget, GdkEvent*, gpointer) {
    gtk_widget_hide(widget);
    return TRUE;
}

void on_destroy(GtkWidget*, gpointer) {
    window = nullptr;
    content_box = nullptr;
    strip = nullptr;
    quit_main_loop(0);
}

// Loaded as SVG by name rather than sniffed: sniffing needs the shared MIME database,
// which a reduced XDG_DATA_DIRS may hide.
void set_icon() {
    for (const std::string& path :
         installed_file_candidates(executable_path(), "velunio-printaro.svg",
                                   "icons/hicolor/scalable/apps/velunio-printaro.svg", VELUNIO_INSTALLED_ICON)) {
        gchar* contents = nullptr;
        gsize length = 0;
        if (!g_file_get_contents(path.c_str(), &contents, &length, nullptr)) continue;
        GError* error = nullptr;
        GdkPixbufLoader* loader = gdk_pixbuf_loader_new_with_type("svg", &error);
        bool ok = loader != nullptr &&
                  gdk_pixbuf_loader_write(loader, reinterpret_cast<const guchar*>(contents), length, &error) &&
                  gdk_pixbuf_loader_close(loader, &error);
        g_free(contents);
        GdkPixbuf* icon = ok ? gdk_pixbuf_loader_get_pixbuf(loader) : nullptr;
        if (icon != nullptr) gtk_window_set_icon(GTK_WINDOW(window), icon);
        else app_log("[window] icon %s not loaded: %s", path.c_str(), error ? error->message : "unknown");
        g_clear_error(&error);
        if (loader != nullptr) g_object_unref(loader);
        if (icon != nullptr) return;
    }
}

void apply_size_request() {
    gtk_widget_set_size_request(window, logical_width, logical_height);
    gtk_window_resize(GTK_WINDOW(window), logical_width, logical_height);
}

}  // namespace

bool create_main_window(bool start_hidden) {
    window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    if (window == nullptr) return false;
    gtk_window_set_title(GTK_WINDOW(window), "Velunio Printaro");
    gtk_window_set_decorated(GTK_WINDOW(window), FALSE);
    gtk_window_set_default_size(GTK_WINDOW(window), 514, 442);
    gtk_window_set_resizable(GTK_WINDOW(window), FALSE);
    apply_size_request();
    gtk_window_set_position(GTK_WINDOW(window), GTK_WIN_POS_CENTER);
    set_icon();

    content_box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 0);
    gtk_container_add(GTK_CONTAINER(window), content_box);

    strip = gtk_drawing_area_new();
    gtk_widget_set_size_request(strip, -1, title_bar_height);
    gtk_widget_add_events(strip, GDK_POINTER_MOTION_MASK | GDK_ENTER_NOTIFY_MASK | GDK_LEAVE_NOTIFY_MASK | GDK_BUTTON_PRESS_MASK |
                                     GDK_BUTTON_RELEASE_MASK);
    g_signal_connect(strip, "draw", G_CALLBACK(on_draw), nullptr);
    g_signal_connect(strip, "motion-notify-event", G_CALLBACK(on_motion), nullptr);
    g_signal_connect(strip, "enter-notify-event", G_CALLBACK(on_enter), nullptr);
    g_signal_connect(strip, "leave-notify-event", G_CALLBACK(on_leave), nullptr);
    g_signal_connect(strip, "button-press-event", G_CALLBACK(on_press), nullptr);
    g_signal_connect(strip, "button-release-event", G_CALLBACK(on_release), nullptr);
    gtk_box_pack_start(GTK_BOX(content_box), strip, FALSE, FALSE, 0);

    g_signal_connect(window, "delete-event", G_CALLBACK(on_delete), nullptr);
    g_signal_connect(window, "destroy", G_CALLBACK(on_destroy), nullptr);
    g_signal_connect(window, "configure-event", G_CALLBACK(on_configure), nullptr);

    gtk_widget_show_all(content_box);
    if (!start_hidden) gtk_widget_show(window);
    return true;
}

bool main_window_in_view() {
    if (window == nullptr || !gtk_widget_get_visible(window)) return false;
    GdkWindow* gdk = gtk_widget_get_window(window);
    return gdk == nullptr || (gdk_window_get_state(gdk) & GDK_WINDOW_STATE_ICONIFIED) == 0;
}

void show_and_raise_main_window() {
    if (window == nullptr) return;
    show_in_place();
    gtk_window_deiconify(GTK_WINDOW(window));
    gtk_window_present(GTK_WINDOW(window));
    gtk_widget_queue_draw(window);
}

void apply_window_size(int logical_w, int logical_h_without_title) {
    // Grows and shrinks upwards: the bottom-left corner, taken at the old size, stays.
    if (window != nullptr) current_bottom_left();
    // Stored before the window moves: the size request follows these values.
    logical_width = logical_w;
    logical_height = logical_h_without_title + title_bar_height;
    if (window == nullptr) return;
    apply_size_request();
    place_at_bottom_left();
}

void set_main_window_background(rgb_colour colour) {
    background = colour;
    if (strip != nullptr) gtk_widget_queue_draw(strip);
    set_web_view_background(colour);
}

rgb_colour main_window_background() { return background; }
void* main_window_content_box() { return content_box; }
