#include "platform/TextEncoding.h"

namespace platform {

namespace {

// Unicode of the bytes 0x80..0x9F; 0 marks the five bytes 1252 leaves undefined, which
// stand for the C1 control of the same value.
constexpr char16_t kHighTable[32] = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,  // 0x80
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0,      0x017D, 0,       // 0x88
    0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  // 0x90
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178,  // 0x98
};

// Unicode of the 437 bytes 0x80..0xFF.
constexpr char16_t kCp437High[128] = {
    0x00C7, 0x00FC, 0x00E9, 0x00E2, 0x00E4, 0x00E0, 0x00E5, 0x00E7,  // 0x80
    0x00EA, 0x00EB, 0x00E8, 0x00EF, 0x00EE, 0x00EC, 0x00C4, 0x00C5,  // 0x88
    0x00C9, 0x00E6, 0x00C6, 0x00F4, 0x00F6, 0x00F2, 0x00FB, 0x00F9,  // 0x90
    0x00FF, 0x00D6, 0x00DC, 0x00A2, 0x00A3, 0x00A5, 0x20A7, 0x0192,  // 0x98
    0x00E1, 0x00ED, 0x00F3, 0x00FA, 0x00F1, 0x00D1, 0x00AA, 0x00BA,  // 0xA0
    0x00BF, 0x2310, 0x00AC, 0x00BD, 0x00BC, 0x00A1, 0x00AB, 0x00BB,  // 0xA8
    0x2591, 0x2592, 0x2593, 0x2502, 0x2524, 0x2561, 0x2562, 0x2556,  // 0xB0
    0x2555, 0x2563, 0x2551, 0x2557, 0x255D, 0x255C, 0x255B, 0x2510,  // 0xB8
    0x2514, 0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x255E, 0x255F,  // 0xC0
    0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550, 0x256C, 0x2567,  // 0xC8
    0x2568, 0x2564, 0x2565, 0x2559, 0x2558, 0x2552, 0x2553, 0x256B,  // 0xD0
    0x256A, 0x2518, 0x250C, 0x2588, 0x2584, 0x258C, 0x2590, 0x2580,  // 0xD8
    0x03B1, 0x00DF, 0x0393, 0x03C0, 0x03A3, 0x03C3, 0x00B5, 0x03C4,  // 0xE0
    0x03A6, 0x0398, 0x03A9, 0x03B4, 0x221E, 0x03C6, 0x03B5, 0x2229,  // 0xE8
    0x2261, 0x00B1, 0x2265, 0x2264, 0x2320, 0x2321, 0x00F7, 0x2248,  // 0xF0
    0x00B0, 0x2219, 0x00B7, 0x221A, 0x207F, 0x00B2, 0x25A0, 0x00A0,  // 0xF8
};

constexpr char32_t kReplacement = 0xFFFD;

bool IsHighSurrogate(char32_t u) { return u >= 0xD800 && u <= 0xDBFF; }
bool IsLowSurrogate(char32_t u) { return u >= 0xDC00 && u <= 0xDFFF; }

void AppendUtf16(char32_t cp, std::u16string* out) {
    if (cp >= 0x10000) {
        cp -= 0x10000;
        out->push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
        out->push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
        out->push_back(static_cast<char16_t>(cp));
    }
}

// UTF-16 to a single-byte code page through its byte-of function, '_' for what it lacks.
template <int (*ByteOf)(char32_t)>
void EncodeSingleByte(std::u16string_view text, std::string* outString) {
    std::string& out = *outString;
    out.clear();
    out.reserve(text.size());
    size_t pos = 0;
    while (pos < text.size()) {
        // ASCII is the same byte in every code page here (and most of most names).
        if (text[pos] < 0x80) {
            out.push_back(static_cast<char>(text[pos++]));
            continue;
        }
        char32_t cp = NextUtf16(text, &pos);
        int b = cp == kLoneSurrogate ? -1 : ByteOf(cp);
        out.push_back(b < 0 ? '_' : static_cast<char>(b));
    }
}

template <char16_t (*ToUtf16)(unsigned char)>
std::u16string DecodeSingleByte(std::string_view bytes) {
    std::u16string out;
    out.reserve(bytes.size());
    for (char c : bytes) out.push_back(ToUtf16(static_cast<unsigned char>(c)));
    return out;
}

}  // namespace

int Cp437ByteOf(char32_t cp) {
    if (cp < 0x80) return static_cast<int>(cp);
    for (int i = 0; i < 128; ++i)
        if (cp == kCp437High[i]) return 0x80 + i;
    return -1;
}

char16_t Cp437ToUtf16(unsigned char byte) {
    return byte < 0x80 ? static_cast<char16_t>(byte) : kCp437High[byte - 0x80];
}

std::string Utf16ToCp437(std::u16string_view text) {
    std::string out;
    EncodeSingleByte<Cp437ByteOf>(text, &out);
    return out;
}

void Utf16ToCp437(std::u16string_view text, std::string* out) { EncodeSingleByte<Cp437ByteOf>(text, out); }

std::u16string Cp437ToUtf16(std::string_view bytes) { return DecodeSingleByte<Cp437ToUtf16>(bytes); }

int Cp1252ByteOf(char32_t cp) {
    if (cp < 0x80 || (cp >= 0xA0 && cp <= 0xFF)) return static_cast<int>(cp);
    for (int i = 0; i < 32; ++i) {
        char16_t u = kHighTable[i];
        if (u == 0 ? cp == static_cast<char32_t>(0x80 + i) : cp == u) return 0x80 + i;
    }
    return -1;
}

char16_t Cp1252ToUtf16(unsigned char byte) {
    if (byte < 0x80 || byte >= 0xA0) return byte;
    char16_t u = kHighTable[byte - 0x80];
    return u ? u : static_cast<char16_t>(byte);
}

std::string Utf16ToCp1252(std::u16string_view text) {
    std::string out;
    EncodeSingleByte<Cp1252ByteOf>(text, &out);
    return out;
}

std::u16string Cp1252ToUtf16(std::string_view bytes) { return DecodeSingleByte<Cp1252ToUtf16>(bytes); }

char32_t NextUtf16(std::u16string_view text, size_t* pos) {
    char32_t u = text[(*pos)++];
    if (IsHighSurrogate(u)) {
        if (*pos < text.size() && IsLowSurrogate(text[*pos])) {
            char32_t low = text[(*pos)++];
            return 0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00);
        }
        return kLoneSurrogate;
    }
    return IsLowSurrogate(u) ? kLoneSurrogate : u;
}

void AppendUtf8(char32_t cp, std::string* out) {
    if (IsHighSurrogate(cp) || IsLowSurrogate(cp) || cp > 0x10FFFF) cp = kReplacement;
    if (cp < 0x80) {
        out->push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out->push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out->push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out->push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out->push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

std::string Utf16ToUtf8(std::u16string_view text) {
    std::string out;
    out.reserve(text.size());
    size_t pos = 0;
    while (pos < text.size()) {
        // ASCII is one byte in UTF-8 (and most of most names).
        if (text[pos] < 0x80) {
            out.push_back(static_cast<char>(text[pos++]));
            continue;
        }
        char32_t cp = NextUtf16(text, &pos);
        AppendUtf8(cp == kLoneSurrogate ? kReplacement : cp, &out);
    }
    return out;
}

char32_t NextUtf8(std::string_view text, size_t* pos) {
    auto byteAt = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    unsigned char b0 = byteAt((*pos)++);
    if (b0 < 0x80) return b0;

    // Number of continuation bytes, the allowed range of the first one (which excludes
    // overlong forms, surrogates and values above U+10FFFF) and the lead's payload.
    int more = 0;
    unsigned char lo = 0x80, hi = 0xBF;
    char32_t cp = 0;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        more = 1;
        cp = b0 & 0x1F;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        more = 2;
        cp = b0 & 0x0F;
        if (b0 == 0xE0) lo = 0xA0;
        if (b0 == 0xED) hi = 0x9F;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        more = 3;
        cp = b0 & 0x07;
        if (b0 == 0xF0) lo = 0x90;
        if (b0 == 0xF4) hi = 0x8F;
    } else {
        return kReplacement;  // a stray continuation byte, C0, C1 or F5..FF
    }
    for (int i = 0; i < more; ++i) {
        if (*pos >= text.size()) return kReplacement;
        unsigned char b = byteAt(*pos);
        if (b < lo || b > hi) return kReplacement;  // b starts the next character
        lo = 0x80;
        hi = 0xBF;
        cp = (cp << 6) | (b & 0x3F);
        ++*pos;
    }
    return cp;
}

std::u16string Utf8ToUtf16(std::string_view text) {
    std::u16string out;
    out.reserve(text.size());
    size_t pos = 0;
    while (pos < text.size()) AppendUtf16(NextUtf8(text, &pos), &out);
    return out;
}

}  // namespace platform
