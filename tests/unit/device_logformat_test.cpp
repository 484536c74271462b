#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <string>

#include "device/LogFormat.h"
#include "platform/TextEncoding.h"

namespace {

using A = std::string;

TEST(LogFormat, MicrosoftConventionsInEightBitFormats) {
    EXPECT_EQ(FormatLogTextA("%I64d FR actual data run size %I64d < file size %I64d", int64_t{37},
                             int64_t{-4096}, INT64_MIN),
              "37 FR actual data run size -4096 < file size -9223372036854775808");
    EXPECT_EQ(FormatLogTextA("%I64u %I64x %I64X %I32d %Id", UINT64_MAX, uint64_t{0xDEADBEEFCAFE},
                             uint64_t{0xABC}, int32_t{-7}, ptrdiff_t{-8}),
              "18446744073709551615 deadbeefcafe ABC -7 -8");
    EXPECT_EQ(FormatLogTextA("%ws, GetVolumeInformation last error %d.", u"E:\\Gr\u00FC\u00DFe", 21),
              "E:\\Gr\xC3\xBC\xC3\x9F" "e, GetVolumeInformation last error 21.");
    EXPECT_EQ(FormatLogTextA("%S|%ls|%hs|%s", u"\U0001F600", u"\xD800", "n\xC3\xA9", "plain"),
              "\xF0\x9F\x98\x80|\xEF\xBF\xBD|n\xC3\xA9|plain");
    EXPECT_EQ(FormatLogTextA("%c%wc%C%lc", 'A', u'\u00E9', u'\u20AC', u'x'), "A\xC3\xA9\xE2\x82\xACx");
}

TEST(LogFormat, MicrosoftConventionsInWideFormats) {
    EXPECT_EQ(FormatLogTextW(u"The file '%s' is a sparse file, FAT32 is not supported.", u"\u4E2D.txt"),
              u"The file '\u4E2D.txt' is a sparse file, FAT32 is not supported.");
    EXPECT_EQ(FormatLogTextW(u"%s last error: %d", u"CreateFileW", 5), u"CreateFileW last error: 5");
    EXPECT_EQ(FormatLogTextW(u"%hs|%S|%ws|%ls", "n\xC3\xA9", "x", u"w", u"l"), u"n\u00E9|x|w|l");
    EXPECT_EQ(FormatLogTextW(u"%c%hc%C|%I64d|%5.1f", u'\u20AC', 'b', 'c', int64_t{1} << 40, 2.25),
              u"\u20ACbc|1099511627776|  2.2");
}

TEST(LogFormat, UsualDirectivesFlagsWidthAndPrecision) {
    struct Case {
        std::string got, want;
    } cases[] = {
        {FormatLogTextA("%d %i %u %x %X", -5, 7, 4000000000u, 255, 255), "-5 7 4000000000 ff FF"},
        {FormatLogTextA("[%5d|%-5d|%05d|%+d|% d|%.3d|%-+6d]", 42, 42, -42, 42, 42, 7, 9),
         "[   42|42   |-0042|+42| 42|007|+9    ]"},
        {FormatLogTextA("[%#x|%#o|%#X|%#x|%o]", 255, 8, 255, 0, 8), "[0xff|010|0XFF|0|10]"},
        {FormatLogTextA("[%.0d|%08.3d]", 0, 5), "[|     005]"},
        {FormatLogTextA("%lld %llu %ld %lu %zu %jd %td", LLONG_MIN, ULLONG_MAX, -1L, 2UL, size_t{3},
                        intmax_t{-4}, ptrdiff_t{5}),
         "-9223372036854775808 18446744073709551615 -1 2 3 -4 5"},
        {FormatLogTextA("%hhd %hd %hu %hhx", 300, 70000, 65537, 0x1FF), "44 4464 1 ff"},
        {FormatLogTextA("100%% %p", reinterpret_cast<void*>(0x12AB)), "100% 00000000000012AB"},
        {FormatLogTextA("[%6s|%-6s|%.2s|%*d|%-*d|%.*s]", "ab", "ab", "abcdef", 4, 1, 3, 2, 1, "xyz"),
         "[    ab|ab    |ab|   1|2  |x]"},
        {FormatLogTextA("[%*d]", -4, 1), "[1   ]"},  // a negative * width left-justifies
        {FormatLogTextA("%.2f %e %g %G %.0f", 3.14159, 12345.678, 0.0001, 1e20, 2.5),
         "3.14 1.234568e+04 0.0001 1E+20 2"},
        {FormatLogTextA("%s|%ws", static_cast<const char*>(nullptr), static_cast<const char16_t*>(nullptr)),
         "(null)|(null)"},
        {FormatLogTextA("%q %y|%"), "%q %y|%"},  // unknown directives stay as written
        {FormatLogTextA("tail %I64"), "tail %I64"},
        {FormatLogTextA("[%.2s|%.3s]", "a\xC3\xA9", "a\xC3\xA9"), "[a|a\xC3\xA9]"},  // no half é
        {FormatLogTextA("[%c]", 0), "[]"},
    };
    for (const Case& c : cases) EXPECT_EQ(c.got, c.want);
    EXPECT_EQ(FormatLogTextW(u"[%.1s]", u"\U0001F600"), u"[]");  // no half surrogate pair
}

TEST(LogFormat, PercentNTakesItsArgumentAndWritesNothing) {
    int n = 1234;
    EXPECT_EQ(FormatLogTextA("a%nb%d", &n, 5), "ab5");
    EXPECT_EQ(n, 1234);
}

TEST(LogFormat, LongResultsAreCutAtCharacterBoundaries) {
    const std::string a3000(3000, 'a');
    EXPECT_EQ(FormatLogTextA("%s", a3000.c_str()), std::string(kLogTextLimit, 'a'));
    // é is two bytes at 2044..2045: it does not fit whole, so the text ends before it.
    const std::string edge = std::string(2044, 'a') + "\xC3\xA9" + "zzz";
    EXPECT_EQ(FormatLogTextA("%s", edge.c_str()), std::string(2044, 'a'));
    const std::string exact = std::string(2043, 'a') + "\xC3\xA9" + "zzz";
    EXPECT_EQ(FormatLogTextA("%s", exact.c_str()), std::string(2043, 'a') + "\xC3\xA9");
    const std::u16string pair = std::u16string(2044, u'a') + u"\U0001F600";
    EXPECT_EQ(FormatLogTextW(u"%s", pair.c_str()), std::u16string(2044, u'a'));
    // Enormous widths are cut too, without building the whole text.
    EXPECT_EQ(FormatLogTextA("%999999999d", 1), std::string(kLogTextLimit, ' '));
    EXPECT_EQ(FormatLogTextA("%.999999999d", 1).size(), kLogTextLimit);
    EXPECT_EQ(FormatLogTextA("%.5000f", 1.0).size(), kLogTextLimit);

    std::string s = "ab\xE2\x82\xAC";  // a b €
    CutUtf8(&s, 4);
    EXPECT_EQ(s, "ab");
}

}  // namespace
