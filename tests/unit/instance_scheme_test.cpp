#include "app/callback_scheme.h"

#include <gtest/gtest.h>

namespace {

TEST(CallbackScheme, ExecQuotesThePathForTheDesktopEntry) {
    EXPECT_EQ(callback_exec_command("/opt/velunio/bin/velunio-print-app"),
              "\"/opt/velunio/bin/velunio-print-app\" %u");
    EXPECT_EQ(callback_exec_command("/home/a b/app"), "\"/home/a b/app\" %u");
    // Quote rule first (\" \` \$ \\), then the key file's string escaping doubles each backslash.
    EXPECT_EQ(callback_exec_command("/x\"y"), "\"/x\\\\\"y\" %u");
    EXPECT_EQ(callback_exec_command("/x$y`z"), "\"/x\\\\$y\\\\`z\" %u");
    EXPECT_EQ(callback_exec_command("/x\\y"), "\"/x\\\\\\\\y\" %u");
    EXPECT_EQ(callback_exec_command("/100%/app"), "\"/100%%/app\" %u");
    EXPECT_FALSE(callback_exec_command("/a\nb"));
    EXPECT_FALSE(callback_exec_command("/a\tb"));
}

TEST(CallbackScheme, DesktopEntryDeclaresTheSchemeHandler) {
    std::string entry = callback_desktop_entry("\"/p/app\" %u");
    EXPECT_EQ(entry.rfind("[Desktop Entry]\n", 0), 0u);
    for (const char* line : {"\nType=Application\n", "\nName=Velunio Printaro\n", "\nExec=\"/p/app\" %u\n",
                             "\nTerminal=false\n", "\nNoDisplay=true\n", "\nMimeType=x-scheme-handler/velunioprinter;\n"})
        EXPECT_NE(entry.find(line), std::string::npos) << line;
}

std::string set(std::string_view existing) {
    return with_default_handler(existing, callback_mime_type, callback_desktop_id);
}

TEST(MimeApps, NewFileGetsTheGroupAndTheDefault) {
    EXPECT_EQ(set(""), "[Default Applications]\nx-scheme-handler/velunioprinter=velunioprinter.desktop\n");
}

TEST(MimeApps, OtherLinesAndGroupsStayAsTheyWere) {
    std::string existing =
        "# mine\n"
        "[Added Associations]\n"
        "x-scheme-handler/velunioprinter=other.desktop;\n"
        "text/plain=gedit.desktop;\n"
        "\n"
        "[Default Applications]\n"
        "text/html=firefox.desktop\n"
        "x-scheme-handler/velunioprinter = old.desktop\n"
        "image/png=eog.desktop\n"
        "x-scheme-handler/velunioprinter=older.desktop\n"
        "x-scheme-handler/velunioprinterx=keep.desktop\n";
    EXPECT_EQ(set(existing),
              "# mine\n"
              "[Added Associations]\n"
              "x-scheme-handler/velunioprinter=other.desktop;\n"
              "text/plain=gedit.desktop;\n"
              "\n"
              "[Default Applications]\n"
              "x-scheme-handler/velunioprinter=velunioprinter.desktop\n"
              "text/html=firefox.desktop\n"
              "image/png=eog.desktop\n"
              "x-scheme-handler/velunioprinterx=keep.desktop\n");
}

TEST(MimeApps, GroupMissingIsAppendedAndRewritingIsStable) {
    std::string existing = "[Added Associations]\ntext/plain=a.desktop;";
    std::string once = set(existing);
    EXPECT_EQ(once,
              "[Added Associations]\ntext/plain=a.desktop;\n\n"
              "[Default Applications]\nx-scheme-handler/velunioprinter=velunioprinter.desktop\n");
    EXPECT_EQ(set(once), once);
}

}  // namespace
