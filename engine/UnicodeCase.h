// Letter case of UTF-16 names, as FAT32 compares them: two long names of one directory that
// differ only in letter case are the same name to Windows, so the conversion must find them
// before it writes anything.
//
// The table holds the simple (one unit to one unit) upper-case mappings of the Unicode
// character database for the Basic Multilingual Plane; units outside it (surrogates) and
// characters without such a mapping stay as they are. It does not depend on the C library's
// locale.
//
// Threads: any; no state.
#pragma once

#include <string>
#include <string_view>

// The upper-case form of one UTF-16 unit (itself when it has none).
char16_t UpcaseUnit(char16_t unit);

// The name with every unit upper-cased.
std::u16string UpcaseName(std::u16string_view name);

// Writes the name upper-cased, unit by unit, at `out` (name.size() units; no allocation).
void UpcaseInto(std::u16string_view name, char16_t* out);

// Fills `table` (65536 units) with the upper-case form of every UTF-16 unit: table[u] is
// UpcaseUnit(u).
void UpcaseTable(char16_t* table);

// True when the two names are equal once upper-cased.
bool EqualIgnoringCase(std::u16string_view a, std::u16string_view b);
