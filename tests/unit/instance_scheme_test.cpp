#include "app/callback_scheme.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

// The desktop entry's Exec: the quote rule first (\" \` \$ \\), then the key file's string
// escaping doubles each backslash; a path no Exec can hold is refused.
TEST(CallbackScheme, ExecQuotesThePathForTheDesktopEntry) {
    std::pair<const char*, std::optional<std::string>> cases[] = {
        {"/opt/velunio/bin/velunio-print-app", "\"/opt/velunio/bin/velunio-print-app\" %u"},
        {"/home/a b/app", "\"/home/a b/app\" %u"},
        {"/x\"y", "\"/x\\\\\"y\" %u"},
        {"/x$y`z", "\"/x\\\\$y\\\\`z\" %u"},
        {"/x\\y", "\"/x\\\\\\\\y\" %u"},
        {"/100%/app", "\"/100%%/app\" %u"},
        {"/a\nb", std::nullopt},
        {"/a\tb", std::nullopt},
    };
    for (const auto& [path, exec] : cases) EXPECT_EQ(callback_exec_command(path), exec) << path;
    // Out of the menus; desktop-file-validate, gio open and xdg-mime check the rest of the entry
    // (installed_test.sh, hand_over_test.sh).
    EXPECT_TRUE(contains(callback_desktop_entry("\"/p/app\" %u"), "\nNoDisplay=true\n"));
}

// Our default goes first in its group; every other line and group stays as it was, and a
// second rewrite changes nothing.
TEST(MimeApps, TheDefaultIsSetAndEverythingElseStays) {
    const std::string ours = "x-scheme-handler/velunioprinter=velunioprinter.desktop\n";
    std::pair<std::string, std::string> cases[] = {
        {"", "[Default Applications]\n" + ours},
        {"[Added Associations]\ntext/plain=a.desktop;",
         "[Added Associations]\ntext/plain=a.desktop;\n\n[Default Applications]\n" + ours},
        {"# mine\n[Added Associations]\nx-scheme-handler/velunioprinter=other.desktop;\ntext/plain=gedit.desktop;\n\n"
         "[Default Applications]\ntext/html=firefox.desktop\nx-scheme-handler/velunioprinter = old.desktop\n"
         "image/png=eog.desktop\nx-scheme-handler/velunioprinter=older.desktop\n"
         "x-scheme-handler/velunioprinterx=keep.desktop\n",
         "# mine\n[Added Associations]\nx-scheme-handler/velunioprinter=other.desktop;\ntext/plain=gedit.desktop;\n\n"
         "[Default Applications]\n" + ours +
             "text/html=firefox.desktop\nimage/png=eog.desktop\nx-scheme-handler/velunioprinterx=keep.desktop\n"},
    };
    for (const auto& [existing, expected] : cases) {
        EXPECT_EQ(with_default_handler(existing, callback_mime_type, callback_desktop_id), expected) << existing;
        EXPECT_EQ(with_default_handler(expected, callback_mime_type, callback_desktop_id), expected);
    }
}
