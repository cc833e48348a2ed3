#pragma once
// The small JSON and script text helpers the bridge, the page callbacks and the upload use.
// They search rather than parse. Text is UTF-8; where a rule speaks of a character it means
// a UTF-16 code unit, so results match what the UTF-16 routines of the Windows build write.

#include <optional>
#include <string>
#include <string_view>

// The decoded string value that follows the first occurrence of "key" (quotes included)
// anywhere in the text, after any run of tabs, blanks and colons; nullopt when there is no
// such occurrence or the value is not a string. Only \" \/ \\ \n \r \t are translated; any
// other escaped character stands for itself (so \u00e9 comes back as u00e9).
std::optional<std::string> json_find_string(std::string_view text, std::string_view key);

// json_find_string of the text from the first occurrence of "outer" on, with `inner`.
std::optional<std::string> json_find_nested_string(std::string_view text, std::string_view outer,
                                                   std::string_view inner);

// A JSON string literal in plain ASCII; the bare word null for nullopt. Characters outside
// printable ASCII become \uXXXX, a character above U+FFFF its two surrogate escapes.
std::string json_quote(std::optional<std::string_view> s);
// The same appended to `out`, so that a large value is written once into the text that
// carries it.
void append_json_quote(std::string& out, std::optional<std::string_view> s);

// For a single-quoted script string whose quotes the caller writes: line feed, carriage
// return, the single quote and the backslash are escaped; everything else is copied.
std::string js_escape_single(std::string_view s);
// For the content of a JSON string whose quotes the caller writes, so that the text stays
// valid JSON whatever it holds: every control character is escaped, besides the double
// quote and the backslash, and malformed UTF-8 becomes U+FFFD.
std::string js_escape_double(std::string_view s);

// The conversions at the UTF-16 boundary. Malformed UTF-8 becomes U+FFFD, as does an
// unpaired surrogate going the other way.
std::u16string utf8_to_wide(std::string_view s);
std::string wide_to_utf8(std::u16string_view s);

// Bytes from outside (an HTTP body, a file name on disk) made into valid UTF-8, each
// malformed sequence replaced by U+FFFD, as the conversion to UTF-16 would.
std::string sanitize_utf8(std::string_view bytes);
bool is_valid_utf8(std::string_view bytes);
