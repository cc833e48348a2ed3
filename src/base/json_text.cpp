#include "base/json_text.h"

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

constexpr char32_t replacement = 0xFFFD;

// Decodes one code point at s[i]; returns the number of bytes used and sets `cp`, or
// returns 1 with U+FFFD for a malformed sequence (the maximal valid prefix is consumed).
std::size_t decode_utf8(std::string_view s, std::size_t i, char32_t& cp) {
    auto b0 = static_cast<unsigned char>(s[i]);
    if (b0 < 0x80) {
        cp = b0;
        return 1;
    }
    std::size_t need;
    char32_t value;
    unsigned char lo = 0x80, hi = 0xBF;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        need = 1;
        value = b0 & 0x1F;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        need = 2;
        value = b0 & 0x0F;
        if (b0 == 0xE0) lo = 0xA0;
        if (b0 == 0xED) hi = 0x9F;  // no encoded surrogates
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        need = 3;
        value = b0 & 0x07;
        if (b0 == 0xF0) lo = 0x90;
        if (b0 == 0xF4) hi = 0x8F;
    } else {
        cp = replacement;
        return 1;
    }
    std::size_t used = 1;
    for (std::size_t k = 0; k < need; ++k) {
        if (i + used >= s.size()) {
            cp = replacement;
            return used;
        }
        auto b = static_cast<unsigned char>(s[i + used]);
        if (b < lo || b > hi) {
            cp = replacement;
            return used;
        }
        lo = 0x80;
        hi = 0xBF;
        value = (value << 6) | (b & 0x3F);
        ++used;
    }
    cp = value;
    return used;
}

void append_utf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

void append_u_escape(std::string& out, unsigned unit) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "\\u%04x", unit & 0xFFFF);
    out += buf;
}

}  // namespace

std::optional<std::string> json_find_string(std::string_view text, std::string_view key) {
    std::string needle;
    needle.reserve(key.size() + 2);
    needle += '"';
    needle += key;
    needle += '"';
    std::size_t at = text.find(needle);
    if (at == std::string_view::npos) return std::nullopt;
    std::size_t i = at + needle.size();
    while (i < text.size() && (text[i] == '\t' || text[i] == ' ' || text[i] == ':')) ++i;
    if (i >= text.size() || text[i] != '"') return std::nullopt;
    std::size_t start = ++i;
    std::size_t end = text.size();
    for (std::size_t j = start; j < text.size(); ++j) {
        if (text[j] != '"') continue;
        std::size_t backslashes = 0;
        for (std::size_t k = j; k > start && text[k - 1] == '\\'; --k) ++backslashes;
        if (backslashes % 2 == 0) {
            end = j;
            break;
        }
    }
    std::string_view raw = text.substr(start, end - start);
    std::string value;
    value.reserve(raw.size());
    for (std::size_t j = 0; j < raw.size(); ++j) {
        char c = raw[j];
        if (c != '\\' || j + 1 == raw.size()) {
            value += c;
            continue;
        }
        char next = raw[++j];
        switch (next) {
            case 'n': value += '\n'; break;
            case 'r': value += '\r'; break;
            case 't': value += '\t'; break;
            default: value += next;  // \" \/ \\ and every other character stand for themselves
        }
    }
    return value;
}

std::optional<std::string> json_find_nested_string(std::string_view text, std::string_view outer,
                                                   std::string_view inner) {
    std::string needle;
    needle += '"';
    needle += outer;
    needle += '"';
    std::size_t at = text.find(needle);
    if (at == std::string_view::npos) return std::nullopt;
    return json_find_string(text.substr(at), inner);
}

namespace {

// Printable ASCII other than the quote and the backslash: written as it is.
constexpr auto plain_json_bytes = [] {
    std::array<bool, 256> plain{};
    for (int c = 0x20; c <= 0x7E; ++c) plain[c] = c != '"' && c != '\\';
    return plain;
}();

// True when all eight bytes of the word are plain (bit tricks: a byte below 0x20, at or above
// 0x7F, or equal to the quote or the backslash sets its top bit in one of the terms).
bool eight_plain_bytes(std::uint64_t w) {
    constexpr std::uint64_t ones = 0x0101010101010101u, tops = 0x8080808080808080u;
    auto has_zero = [](std::uint64_t v) { return (v - ones) & ~v & tops; };
    std::uint64_t special = (w & tops) | ((w - ones * 0x20) & ~w & tops) | has_zero(w ^ (ones * 0x7F)) |
                            has_zero(w ^ (ones * '"')) | has_zero(w ^ (ones * '\\'));
    return special == 0;
}

// Walks the text as json_quote writes it: `plain` gets each run of plain bytes, `escaped`
// each other character's escape.
template <class Plain, class Escaped>
void walk_json_quoted(std::string_view s, Plain plain, Escaped escaped) {
    for (std::size_t i = 0; i < s.size();) {
        std::size_t run = i;
        for (std::uint64_t w; run + 8 <= s.size() && (std::memcpy(&w, s.data() + run, 8), eight_plain_bytes(w));) run += 8;
        while (run < s.size() && plain_json_bytes[static_cast<unsigned char>(s[run])]) ++run;
        if (run > i) {
            plain(s.substr(i, run - i));
            i = run;
            continue;
        }
        char32_t cp;
        i += decode_utf8(s, i, cp);
        switch (cp) {
            case '\t': escaped("\\t"); continue;
            case '\n': escaped("\\n"); continue;
            case '\r': escaped("\\r"); continue;
            case '"': escaped("\\\""); continue;
            case '\\': escaped("\\\\"); continue;
            default: break;
        }
        char units[16];
        if (cp >= 0x10000) {
            char32_t v = cp - 0x10000;
            std::snprintf(units, sizeof units, "\\u%04x\\u%04x", 0xD800 + static_cast<unsigned>(v >> 10),
                          0xDC00 + static_cast<unsigned>(v & 0x3FF));
        } else {
            std::snprintf(units, sizeof units, "\\u%04x", static_cast<unsigned>(cp));
        }
        escaped(units);
    }
}

}  // namespace

void append_json_quote(std::string& out, std::optional<std::string_view> s) {
    if (!s) {
        out += "null";
        return;
    }
    out += '"';
    walk_json_quoted(*s, [&](std::string_view run) { out += run; }, [&](std::string_view e) { out += e; });
    out += '"';
}

std::string json_quote(std::optional<std::string_view> s) {
    std::string out;
    if (s) out.reserve(s->size() + 2);
    append_json_quote(out, s);
    return out;
}

std::string js_escape_single(std::string_view s) {
    std::string out;
    out.reserve(s.size() + s.size() / 8 + 1);
    for (char c : s) {
        switch (c) {
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\\': out += "\\\\"; break;
            case '\'': out += "\\'"; break;
            default: out += c;
        }
    }
    return out;
}

std::string js_escape_double(std::string_view s) {
    std::string out;
    out.reserve(s.size() + 2);
    for (std::size_t i = 0; i < s.size();) {
        char32_t cp;
        i += decode_utf8(s, i, cp);
        switch (cp) {
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            default:
                if (cp < 0x20) append_u_escape(out, static_cast<unsigned>(cp));
                else append_utf8(out, cp);
        }
    }
    return out;
}

std::u16string utf8_to_wide(std::string_view s) {
    std::u16string out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size();) {
        char32_t cp;
        i += decode_utf8(s, i, cp);
        if (cp >= 0x10000) {
            char32_t v = cp - 0x10000;
            out += static_cast<char16_t>(0xD800 + (v >> 10));
            out += static_cast<char16_t>(0xDC00 + (v & 0x3FF));
        } else {
            out += static_cast<char16_t>(cp);
        }
    }
    return out;
}

std::string wide_to_utf8(std::u16string_view s) {
    std::string out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size(); ++i) {
        char32_t unit = s[i];
        if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
            append_utf8(out, 0x10000 + ((unit - 0xD800) << 10) + (s[i + 1] - 0xDC00));
            ++i;
        } else if (unit >= 0xD800 && unit <= 0xDFFF) {
            append_utf8(out, replacement);
        } else {
            append_utf8(out, unit);
        }
    }
    return out;
}

std::string sanitize_utf8(std::string_view bytes) {
    if (is_valid_utf8(bytes)) return std::string(bytes);
    std::string out;
    out.reserve(bytes.size() + 8);
    for (std::size_t i = 0; i < bytes.size();) {
        char32_t cp;
        i += decode_utf8(bytes, i, cp);
        append_utf8(out, cp);
    }
    return out;
}

bool is_valid_utf8(std::string_view bytes) {
    for (std::size_t i = 0; i < bytes.size();) {
        // Most text is ASCII: eight bytes at a time need no decoding.
        std::uint64_t word;
        if (i + 8 <= bytes.size() && (std::memcpy(&word, bytes.data() + i, 8), (word & 0x8080808080808080u) == 0)) {
            i += 8;
            continue;
        }
        if (static_cast<unsigned char>(bytes[i]) < 0x80) {
            ++i;
            continue;
        }
        char32_t cp;
        std::size_t used = decode_utf8(bytes, i, cp);
        if (cp == replacement) {
            // A literal U+FFFD (EF BF BD) is valid; a replaced malformed sequence is not.
            if (!(used == 3 && bytes.compare(i, 3, "\xEF\xBF\xBD") == 0)) return false;
        }
        i += used;
    }
    return true;
}
