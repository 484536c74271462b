#include <gtest/gtest.h>

#include <string>

#include "platform/TextEncoding.h"

namespace {

using platform::Cp1252ToUtf16;
using platform::Cp437ToUtf16;
using platform::Utf16ToCp437;
using platform::Utf16ToCp1252;
using platform::Utf16ToUtf8;
using platform::Utf8ToUtf16;

TEST(Cp1252, EncodesWhatItHoldsAndUnderscoresTheRest) {
    struct Case {
        std::u16string in;
        std::string out;
    } cases[] = {
        {u"ABC.txt", "ABC.txt"},
        {u"\u20AC", "\x80"},                // euro sign
        {u"\u00E9", "\xE9"},                // é
        {u"\u0178\u2122", "\x9F\x99"},      // Ÿ ™ from the 0x80..0x9F block
        {u"\u4E2D", "_"},                   // CJK
        {u"a\U0001F600b", "a_b"},           // a surrogate pair is one character
        {u"\xD800x", "_x"},                 // lone high surrogate
        {u"x\xDC00", "x_"},                 // lone low surrogate
        {u"\u0081\u008D", "\x81\x8D"},      // the undefined bytes keep their C1 value
        {u"\u0080", "_"},                   // a C1 control 1252 replaced by the euro sign
        {std::u16string(u"a\0b", 3), std::string("a\0b", 3)},
    };
    for (const Case& c : cases) EXPECT_EQ(Utf16ToCp1252(c.in), c.out) << Utf16ToUtf8(c.in);
}

TEST(Cp1252, EveryByteRoundTrips) {
    std::string all;
    for (int b = 0; b < 256; ++b) all.push_back(static_cast<char>(b));
    std::u16string wide = Cp1252ToUtf16(all);
    ASSERT_EQ(wide.size(), 256u);
    EXPECT_EQ(wide[0x80], u'\u20AC');
    EXPECT_EQ(wide[0x8A], u'\u0160');
    EXPECT_EQ(wide[0x9F], u'\u0178');
    EXPECT_EQ(wide[0x90], u'\u0090');
    EXPECT_EQ(wide[0xE9], u'\u00E9');
    EXPECT_EQ(Utf16ToCp1252(wide), all);
}

TEST(Cp437, EncodesWhatItHoldsAndUnderscoresTheRest) {
    struct Case {
        std::u16string in;
        std::string out;
    } cases[] = {
        {u"ABC.txt", "ABC.txt"},
        {u"GR\u00DC\u00DFE", "GR\x9A\xE1" "E"},     // Ü ß
        {u"\u00C7\u00E9\u00C5\u00D1", "\x80\x82\x8F\xA5"},  // Ç é Å Ñ
        {u"\u00A3\u00A5\u20A7\u0192", "\x9C\x9D\x9E\x9F"},  // £ ¥ ₧ ƒ
        {u"\u03B1\u03A9\u2248\u00A0", "\xE0\xEA\xF7\xFF"},  // α Ω ≈ no-break space
        {u"\u2500\u2588", "\xC4\xDB"},                 // box drawing, full block
        {u"\u00C0\u00E3\u0160\u20AC", "____"},         // À ã Š €: in 1252, not in 437
        {u"\u4E2D", "_"},                                // CJK
        {u"a\U0001F600b", "a_b"},                        // a surrogate pair is one character
        {u"\xD800x", "_x"},                              // lone high surrogate
        {u"\u263A", "_"},                                // the glyph DOS drew for 0x01 is not 0x01
        {std::u16string(u"a\0\x7F", 3), std::string("a\0\x7F", 3)},
    };
    for (const Case& c : cases) EXPECT_EQ(Utf16ToCp437(c.in), c.out) << Utf16ToUtf8(c.in);
}

TEST(Cp437, EveryByteRoundTrips) {
    std::string all;
    for (int b = 0; b < 256; ++b) all.push_back(static_cast<char>(b));
    std::u16string wide = Cp437ToUtf16(all);
    ASSERT_EQ(wide.size(), 256u);
    for (int b = 0; b < 0x80; ++b) EXPECT_EQ(wide[b], static_cast<char16_t>(b));
    EXPECT_EQ(wide[0x80], u'\u00C7');
    EXPECT_EQ(wide[0x9A], u'\u00DC');
    EXPECT_EQ(wide[0xB0], u'\u2591');
    EXPECT_EQ(wide[0xE1], u'\u00DF');
    EXPECT_EQ(wide[0xFE], u'\u25A0');
    EXPECT_EQ(Utf16ToCp437(wide), all);  // 256 distinct characters, each back to its byte
}

TEST(Utf8, EncodesUtf16) {
    struct Case {
        std::u16string in;
        std::string out;
    } cases[] = {
        {u"plain", "plain"},
        {u"\u00E9", "\xC3\xA9"},
        {u"\u20AC", "\xE2\x82\xAC"},
        {u"\U0001F600", "\xF0\x9F\x98\x80"},
        {u"\xD83D", "\xEF\xBF\xBD"},            // high surrogate at the end
        {u"\xD83Dx", "\xEF\xBF\xBDx"},          // high surrogate before a non-surrogate
        {u"\xDE00\xD83D", "\xEF\xBF\xBD\xEF\xBF\xBD"},  // reversed pair: two lone halves
    };
    for (const Case& c : cases) EXPECT_EQ(Utf16ToUtf8(c.in), c.out);
}

TEST(Utf8, ValidTextRoundTrips) {
    const std::u16string texts[] = {u"", u"Ünïcödé \u4E2D\u6587", u"\U0001F600\U0010FFFF\U00010000",
                                    u"\u007F\u0080\u07FF\u0800\uFFFF"};
    for (const auto& t : texts) EXPECT_EQ(Utf8ToUtf16(Utf16ToUtf8(t)), t);
}

TEST(Utf8, InvalidInputBecomesReplacementCharacters) {
    const std::u16string R = u"\uFFFD";
    struct Case {
        std::string in;
        std::u16string out;
    } cases[] = {
        {"\xC0\xAF", R + R},                            // overlong '/'
        {"\xE0\x80\xAF", R + R + R},                    // overlong three-byte form
        {"\xED\xA0\x80", R + R + R},                    // an encoded surrogate
        {"\xF4\x90\x80\x80", R + R + R + R},            // above U+10FFFF
        {"a\xE2\x82" "b", u"a" + R + u"b"},             // truncated sequence
        {"\xE2\x82", R},                                // truncated at the end
        {"\x80z", R + u"z"},                            // stray continuation byte
        {"\xFF", R},
    };
    for (const Case& c : cases) EXPECT_EQ(Utf8ToUtf16(c.in), c.out);
}

}  // namespace
