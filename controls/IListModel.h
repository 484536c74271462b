// IListModel: what the owner-drawn list control (CFSListCtrl) asks of the rows it shows.
// Plain C++ so that models and their tests need no windowing.
//
// A column has a type that says which question the control asks for its cells: a text
// column asks GetCellText, a size column GetCellBytes (drawn through FormatSize; a negative
// count is drawn as an empty cell, for a size nobody knows), and so on. Operations a model
// does not need keep the defaults below.
//
// Also here, header-only so that models, controls and pages share them: FormatSize, the
// text of a byte count, and FsTypeName, the name of a file-system type code.
//
// Threads: the user-interface thread (the control's); FormatSize and FsTypeName any thread.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

// A text colour as red, green and blue in the low three bytes (red lowest).
using ListColor = uint32_t;
constexpr ListColor ListRgb(uint8_t r, uint8_t g, uint8_t b) {
    return ListColor{r} | ListColor{g} << 8 | ListColor{b} << 16;
}

enum class ListColumnType {
    Text,       // GetCellText
    Size,       // GetCellBytes through FormatSize
    Number,     // GetCellNumber
    Date,       // GetCellDate (seconds since 1970)
    FsType,     // GetCellFsType through FsTypeName
    Formatted,  // GetCellFormatted (the column's own formatter)
};

class IListModel {
public:
    virtual ~IListModel() = default;

    // Number of rows.
    virtual int GetRowCount() = 0;
    // Text of a text cell.
    virtual std::u16string GetCellText(int row, int column) = 0;
    // Byte count of a size cell; negative when unknown.
    virtual int64_t GetCellBytes(int row, int column) = 0;
    // Text colour of a cell.
    virtual ListColor GetCellColor(int row, int column) = 0;

    // Per-row flags and value (0 when the model has none).
    virtual uint32_t GetRowFlags(int /*row*/) { return 0; }
    virtual int64_t GetRowValue(int /*row*/) { return 0; }
    // Numeric cell: -1 when the model has none; its setter does nothing by default.
    virtual int64_t GetCellNumber(int /*row*/, int /*column*/) { return -1; }
    virtual void SetCellNumber(int /*row*/, int /*column*/, int64_t /*value*/) {}
    // A row's expansion state, which also chooses its glyph: -1 (no glyph), 0 collapsed,
    // 1 expanded; the setter does nothing by default.
    virtual int GetRowExpansion(int /*row*/) { return -1; }
    virtual void SetRowExpansion(int /*row*/, int /*state*/) {}
    // Date cell, file-system-type cell (a FsTypeName code), and a cell of a column with its
    // own formatter: 0 when the model has none.
    virtual int64_t GetCellDate(int /*row*/, int /*column*/) { return 0; }
    virtual int GetCellFsType(int /*row*/, int /*column*/) { return 0; }
    virtual int64_t GetCellFormatted(int /*row*/, int /*column*/) { return 0; }
    // Tooltip of a row; empty for none.
    virtual std::u16string GetRowToolTip(int /*row*/) { return {}; }
};

// A byte count as text: divided by 1024 while at least 1024, up to TB (1024 TB and more stay
// in TB), with 3, 2, 1 or 0 decimals for values below 10, 100, 1000 and from 1000, then a
// blank and the unit: 1536 gives "1.500 KB", 0 gives "0.000 B", 1023 gives "1023 B".
inline std::u16string FormatSize(int64_t bytes) {
    static const char* const kUnits[] = {"B", "KB", "MB", "GB", "TB"};
    double x = static_cast<double>(bytes);
    int unit = 0;
    while (x >= 1024 && unit < 4) {
        x /= 1024;
        ++unit;
    }
    const char* format = x < 10 ? "%.3f %s" : x < 100 ? "%.2f %s" : x < 1000 ? "%.1f %s" : "%.0f %s";
    char text[64];
    std::snprintf(text, sizeof text, format, x, kUnits[unit]);
    return std::u16string(text, text + std::char_traits<char>::length(text));
}

// 1 "NTFS", 2 "FAT12", 3 "FAT16", 4 "FAT32"; any other code an empty text.
inline std::u16string FsTypeName(int code) {
    switch (code) {
        case 1: return u"NTFS";
        case 2: return u"FAT12";
        case 3: return u"FAT16";
        case 4: return u"FAT32";
        default: return {};
    }
}
