#include "device/LogFormat.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "platform/TextEncoding.h"

namespace {

// Collects output up to limit + 1 units (one more than kept, so the cut can see whether it
// falls inside a character) and ignores the rest.
template <typename C>
class Output {
public:
    explicit Output(size_t limit) : Limit(limit) {}

    void Put(C c) {
        if (Text.size() <= Limit) Text.push_back(c);
    }
    void Put(std::basic_string_view<C> s) {
        size_t room = Text.size() <= Limit ? Limit + 1 - Text.size() : 0;
        Text.append(s.substr(0, room));
    }
    void Repeat(C c, size_t n) {
        size_t room = Text.size() <= Limit ? Limit + 1 - Text.size() : 0;
        Text.append(n < room ? n : room, c);
    }
    bool Full() const { return Text.size() > Limit; }

    std::basic_string<C> Finish() {
        if (Text.size() > Limit) {
            size_t cut = Limit;
            if constexpr (sizeof(C) == 1) {
                while (cut > 0 && (static_cast<unsigned char>(Text[cut]) & 0xC0) == 0x80) --cut;
            } else {
                if (cut > 0 && Text[cut - 1] >= 0xD800 && Text[cut - 1] <= 0xDBFF && Text[cut] >= 0xDC00 &&
                    Text[cut] <= 0xDFFF)
                    --cut;
            }
            Text.resize(cut);
        }
        return std::move(Text);
    }

private:
    size_t Limit;
    std::basic_string<C> Text;
};

// One directive after the '%'.
struct Field {
    bool left = false, plus = false, space = false, alt = false, zero = false;
    int width = -1;
    int precision = -1;
    enum class Size { None, Char, Short, Long, LongLong, Int64, Int32, Ptr, SizeT, IntMax, PtrDiff, LongDouble, Wide };
    Size size = Size::None;
};

constexpr int kMaxField = 1 << 16;  // widths and precisions beyond the line are pointless

template <typename C>
class Formatter {
public:
    Formatter(size_t limit, va_list* args) : Out(limit), Args(args) {}

    std::basic_string<C> Run(const C* format) {
        if (!format) return {};
        const C* p = format;
        while (*p && !Out.Full()) {
            if (*p != '%') {
                Out.Put(*p++);
                continue;
            }
            const C* start = p++;
            if (*p == '%') {
                Out.Put(C('%'));
                ++p;
                continue;
            }
            p = Directive(start, p);
        }
        return Out.Finish();
    }

private:
    static bool IsDigit(C c) { return c >= '0' && c <= '9'; }

    int ReadNumber(const C** p) {
        int n = 0;
        while (IsDigit(**p)) {
            if (n < kMaxField) n = n * 10 + (**p - '0');
            ++*p;
        }
        return n < kMaxField ? n : kMaxField;
    }

    // Parses and prints one directive; p points just after the '%'. Returns the position
    // after it.
    const C* Directive(const C* start, const C* p) {
        Field s;
        for (;; ++p) {
            if (*p == '-') s.left = true;
            else if (*p == '+') s.plus = true;
            else if (*p == ' ') s.space = true;
            else if (*p == '#') s.alt = true;
            else if (*p == '0') s.zero = true;
            else break;
        }
        if (*p == '*') {
            int w = va_arg(*Args, int);
            if (w < 0) {
                s.left = true;
                w = w == INT32_MIN ? kMaxField : -w;
            }
            s.width = w < kMaxField ? w : kMaxField;
            ++p;
        } else if (IsDigit(*p)) {
            s.width = ReadNumber(&p);
        }
        if (*p == '.') {
            ++p;
            if (*p == '*') {
                int pr = va_arg(*Args, int);
                s.precision = pr < 0 ? -1 : (pr < kMaxField ? pr : kMaxField);
                ++p;
            } else {
                s.precision = ReadNumber(&p);
            }
        }
        using Size = Field::Size;
        if (p[0] == 'I' && p[1] == '6' && p[2] == '4') s.size = Size::Int64, p += 3;
        else if (p[0] == 'I' && p[1] == '3' && p[2] == '2') s.size = Size::Int32, p += 3;
        else if (p[0] == 'I') s.size = Size::Ptr, p += 1;
        else if (p[0] == 'h' && p[1] == 'h') s.size = Size::Char, p += 2;
        else if (p[0] == 'h') s.size = Size::Short, p += 1;
        else if (p[0] == 'l' && p[1] == 'l') s.size = Size::LongLong, p += 2;
        else if (p[0] == 'l') s.size = Size::Long, p += 1;
        else if (p[0] == 'w') s.size = Size::Wide, p += 1;
        else if (p[0] == 'z') s.size = Size::SizeT, p += 1;
        else if (p[0] == 'j') s.size = Size::IntMax, p += 1;
        else if (p[0] == 't') s.size = Size::PtrDiff, p += 1;
        else if (p[0] == 'L') s.size = Size::LongDouble, p += 1;

        C conv = *p;
        if (conv == 0) {  // the format ends inside the directive: print it as it stands
            Out.Put(std::basic_string_view<C>(start, static_cast<size_t>(p - start)));
            return p;
        }
        ++p;
        switch (conv) {
        case 'd': case 'i':
            Signed(s);
            break;
        case 'u': case 'o': case 'x': case 'X':
            Unsigned(s, static_cast<char>(conv));
            break;
        case 'p':
            Pointer(s);
            break;
        case 's': case 'S':
            String(s, WideArgument(s, conv == 'S'));
            break;
        case 'c': case 'C':
            Character(s, WideArgument(s, conv == 'C'));
            break;
        case 'e': case 'E': case 'f': case 'F': case 'g': case 'G': case 'a': case 'A':
            Floating(s, static_cast<char>(conv));
            break;
        case 'n':
            (void)va_arg(*Args, void*);  // never written to: a format must not write memory
            break;
        default:
            Out.Put(std::basic_string_view<C>(start, static_cast<size_t>(p - start)));
            break;
        }
        return p;
    }

    // Whether a string or character directive takes a char16_t argument. The upper-case
    // conversion means "the other width"; h forces 8-bit, l and w force wide.
    bool WideArgument(const Field& s, bool upper) const {
        if (s.size == Field::Size::Short) return false;
        if (s.size == Field::Size::Long || s.size == Field::Size::Wide) return true;
        constexpr bool wideFormat = sizeof(C) == 2;
        return upper ? !wideFormat : wideFormat;
    }

    void Pad(size_t length, const Field& s, bool before) {
        if (s.width > 0 && static_cast<size_t>(s.width) > length && s.left != before)
            Out.Repeat(C(' '), static_cast<size_t>(s.width) - length);
    }

    void PutAscii(std::string_view a) {
        for (char c : a) Out.Put(C(c));
    }

    void Signed(const Field& s) {
        using Size = Field::Size;
        int64_t v;
        switch (s.size) {
        case Size::Char: v = static_cast<signed char>(va_arg(*Args, int)); break;
        case Size::Short: v = static_cast<short>(va_arg(*Args, int)); break;
        case Size::Long: v = va_arg(*Args, long); break;
        case Size::LongLong: case Size::LongDouble: v = va_arg(*Args, long long); break;
        case Size::Int64: v = va_arg(*Args, int64_t); break;
        case Size::Int32: v = va_arg(*Args, int32_t); break;
        case Size::Ptr: case Size::PtrDiff: v = va_arg(*Args, ptrdiff_t); break;
        case Size::SizeT: v = static_cast<int64_t>(va_arg(*Args, size_t)); break;
        case Size::IntMax: v = va_arg(*Args, intmax_t); break;
        default: v = va_arg(*Args, int); break;
        }
        uint64_t magnitude = v < 0 ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
        const char* sign = v < 0 ? "-" : s.plus ? "+" : s.space ? " " : "";
        Integer(s, magnitude, 10, false, sign);
    }

    void Unsigned(const Field& s, char conv) {
        using Size = Field::Size;
        uint64_t v;
        switch (s.size) {
        case Size::Char: v = static_cast<unsigned char>(va_arg(*Args, unsigned)); break;
        case Size::Short: v = static_cast<unsigned short>(va_arg(*Args, unsigned)); break;
        case Size::Long: v = va_arg(*Args, unsigned long); break;
        case Size::LongLong: case Size::LongDouble: v = va_arg(*Args, unsigned long long); break;
        case Size::Int64: v = va_arg(*Args, uint64_t); break;
        case Size::Int32: v = va_arg(*Args, uint32_t); break;
        case Size::Ptr: case Size::SizeT: v = va_arg(*Args, size_t); break;
        case Size::PtrDiff: v = static_cast<uint64_t>(va_arg(*Args, ptrdiff_t)); break;
        case Size::IntMax: v = va_arg(*Args, uintmax_t); break;
        default: v = va_arg(*Args, unsigned); break;
        }
        unsigned base = conv == 'o' ? 8 : (conv == 'u' ? 10 : 16);
        const char* prefix = "";
        if (s.alt && v != 0 && base == 16) prefix = conv == 'X' ? "0X" : "0x";
        Integer(s, v, base, conv == 'X', prefix, s.alt && base == 8);
    }

    void Pointer(const Field& s) {
        Field p = s;
        p.precision = 16;  // as the Microsoft runtime prints it: 16 upper-case hex digits
        Integer(p, reinterpret_cast<uintptr_t>(va_arg(*Args, void*)), 16, true, "");
    }

    // Digits with precision (minimum digits), prefix (sign or 0x), zero or space padding.
    void Integer(const Field& s, uint64_t v, unsigned base, bool upper, const char* prefix, bool octalAlt = false) {
        char digits[64];
        size_t n = 0;
        const char* set = upper ? "0123456789ABCDEF" : "0123456789abcdef";
        while (v != 0) {
            digits[n++] = set[v % base];
            v /= base;
        }
        size_t minDigits = s.precision < 0 ? 1 : static_cast<size_t>(s.precision);
        size_t zeros = minDigits > n ? minDigits - n : 0;
        if (octalAlt && zeros == 0 && (n == 0 || digits[n - 1] != '0')) zeros = 1;
        size_t body = std::strlen(prefix) + zeros + n;
        if (s.zero && !s.left && s.precision < 0 && s.width > 0 && static_cast<size_t>(s.width) > body) {
            zeros += static_cast<size_t>(s.width) - body;
            body = static_cast<size_t>(s.width);
        }
        Pad(body, s, true);
        PutAscii(prefix);
        Out.Repeat(C('0'), zeros);
        while (n > 0) Out.Put(C(digits[--n]));
        Pad(body, s, false);
    }

    void String(const Field& s, bool wideArgument) {
        std::basic_string<C> text;
        if (wideArgument) {
            const char16_t* arg = va_arg(*Args, const char16_t*);
            std::u16string_view src = arg ? Take(arg, s.precision) : std::u16string_view(u"(null)");
            if constexpr (sizeof(C) == 2) text = src;
            else text = platform::Utf16ToUtf8(src);
        } else {
            const char* arg = va_arg(*Args, const char*);
            std::string_view src = arg ? Take(arg, s.precision) : std::string_view("(null)");
            if constexpr (sizeof(C) == 1) text = src;
            else text = platform::Utf8ToUtf16(src);
        }
        Pad(text.size(), s, true);
        Out.Put(std::basic_string_view<C>(text));
        Pad(text.size(), s, false);
    }

    // At most `precision` units of a string (all of it when negative), reading no further
    // than that (the string need not be terminated), and never ending inside a character.
    static std::string_view Take(const char* s, int precision) {
        if (precision < 0) return s;
        size_t n = 0;
        while (n < static_cast<size_t>(precision) && s[n]) ++n;
        size_t lead = n;
        while (lead > 0 && (static_cast<unsigned char>(s[lead - 1]) & 0xC0) == 0x80) --lead;
        if (n == static_cast<size_t>(precision) && lead > 0) {
            unsigned char b = static_cast<unsigned char>(s[lead - 1]);
            size_t need = b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : b >= 0xC0 ? 2 : 1;
            if (n - (lead - 1) < need) n = lead - 1;  // the last character is incomplete
        }
        return std::string_view(s, n);
    }
    static std::u16string_view Take(const char16_t* s, int precision) {
        if (precision < 0) return s;
        size_t n = 0;
        while (n < static_cast<size_t>(precision) && s[n]) ++n;
        if (n == static_cast<size_t>(precision) && n > 0 && s[n - 1] >= 0xD800 && s[n - 1] <= 0xDBFF)
            --n;  // the first half of a pair whose second half lies beyond the precision
        return std::u16string_view(s, n);
    }

    void Character(const Field& s, bool wideArgument) {
        int arg = va_arg(*Args, int);  // char and char16_t arrive promoted to int
        std::basic_string<C> text;
        if (wideArgument) {
            char16_t u = static_cast<char16_t>(arg);
            if constexpr (sizeof(C) == 2) text.push_back(u);
            else text = platform::Utf16ToUtf8(std::u16string_view(&u, 1));
        } else {
            char b = static_cast<char>(arg);
            if constexpr (sizeof(C) == 1) text.push_back(b);
            else text = platform::Utf8ToUtf16(std::string_view(&b, 1));
        }
        if (arg == 0) text.clear();  // a NUL character adds nothing to a text line
        Pad(text.size(), s, true);
        Out.Put(std::basic_string_view<C>(text));
        Pad(text.size(), s, false);
    }

    void Floating(const Field& s, char conv) {
        char pattern[32];
        size_t k = 0;
        pattern[k++] = '%';
        if (s.left) pattern[k++] = '-';
        if (s.plus) pattern[k++] = '+';
        if (s.space) pattern[k++] = ' ';
        if (s.alt) pattern[k++] = '#';
        if (s.zero) pattern[k++] = '0';
        pattern[k++] = '*';
        pattern[k++] = '.';
        pattern[k++] = '*';
        if (s.size == Field::Size::LongDouble) pattern[k++] = 'L';
        pattern[k++] = conv;
        pattern[k] = 0;
        int width = s.width < 0 ? 0 : s.width;
        // An omitted precision is 6 for every conversion but %a, whose default is "exact".
        int precision = s.precision >= 0 ? s.precision : (conv == 'a' || conv == 'A' ? -1 : 6);
        char buf[kLogLineUnits + 64];
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
        if (s.size == Field::Size::LongDouble)
            std::snprintf(buf, sizeof(buf), pattern, width, precision, va_arg(*Args, long double));
        else
            std::snprintf(buf, sizeof(buf), pattern, width, precision, va_arg(*Args, double));
#pragma GCC diagnostic pop
        PutAscii(buf);
    }

    Output<C> Out;
    va_list* Args;
};

}  // namespace

std::string FormatTextA(size_t limit, const char* format, va_list args) {
    va_list ap;
    va_copy(ap, args);
    std::string text = Formatter<char>(limit, &ap).Run(format);
    va_end(ap);
    return text;
}

std::u16string FormatTextW(size_t limit, const char16_t* format, va_list args) {
    va_list ap;
    va_copy(ap, args);
    std::u16string text = Formatter<char16_t>(limit, &ap).Run(format);
    va_end(ap);
    return text;
}

std::string FormatLogTextA(const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    std::string text = FormatTextA(kLogTextLimit, format, ap);
    va_end(ap);
    return text;
}

std::u16string FormatLogTextW(const char16_t* format, ...) {
    va_list ap;
    va_start(ap, format);
    std::u16string text = FormatTextW(kLogTextLimit, format, ap);
    va_end(ap);
    return text;
}

void CutUtf8(std::string* text, size_t limit) {
    if (text->size() <= limit) return;
    size_t cut = limit;
    while (cut > 0 && (static_cast<unsigned char>((*text)[cut]) & 0xC0) == 0x80) --cut;
    text->resize(cut);
}
