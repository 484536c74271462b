// The program's identity and the addresses it opens: one place for each.
//
// Threads: any thread (constants only).
#pragma once

#include <cstdint>

// Product name: the caption of every message box and the start of the window title.
inline constexpr const char* kProductName = "Velundra";

// Version 2.3.1, each part a 16-bit number; the title shows it as "%d.%d.%d".
inline constexpr uint16_t kVersionMajor = 2;
inline constexpr uint16_t kVersionMinor = 3;
inline constexpr uint16_t kVersionBuild = 1;

// Web pages the Website, Update and Help buttons and links open, and the address crash
// reports are mailed to.
inline constexpr const char* kHomePageUrl = "https://velundra.org/";
inline constexpr const char* kUpdatePageUrl = "https://velundra.org/download/";
inline constexpr const char* kHelpPageUrl = "https://velundra.org/help/";
inline constexpr const char* kSupportAddress = "support@velundra.org";
// The display name crash reports are mailed to, with kSupportAddress.
inline constexpr const char* kSupportName = "Velundra Support";
