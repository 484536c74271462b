// The volume list: the page where the user picks the volume to convert, and the model of
// its rows.
//
// CVolumeListPage shows the header band, a toolbar with " Refresh Volume", the list in four
// columns (Volume, File System, Total Size, Free Space) and the button row. Next with a
// selected row pushes the conversion page for that volume; without one it asks the user to
// select a volume. The list is enumerated afresh on Refresh and whenever the page becomes the
// top page again. An empty list is reported once, when the page is created.
//
// CVolumeListModel holds one row per volume that the module can convert (NTFS volumes for
// NTFS to FAT32, FAT and FAT32 volumes for FAT to NTFS), built by enumerating the drive
// letters; the volume that holds "/" is never listed.
//
// Threads: the user-interface thread. Enumerate reads the devices and blocks for as long as
// that takes (well under a second for every letter).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <QEvent>

#include "app/CMainFrame.h"
#include "controls/IListModel.h"
#include "engine/VolumeEnumeration.h"

class CFSListCtrl;
class CQuillToolbar;
class QPainter;

// Module filters of the list.
constexpr int kFilterFat = 0;   // FAT and FAT32 volumes (FAT to NTFS)
constexpr int kFilterNtfs = 1;  // NTFS volumes (NTFS to FAT32)

// Free or total bytes that could not be read (shown as an empty cell).
constexpr uint64_t kUnknownBytes = ~uint64_t{0};

class CVolumeListModel : public IListModel {
public:
    // Answers the space of one volume; false when unknown.
    using SpaceQuery = std::function<bool(const VolumeInfo&, VolumeSpace*)>;

    // A new model of the volumes the filter keeps, from the drive letters as they are now.
    static std::unique_ptr<CVolumeListModel> Enumerate(int filter);
    // The same from a given list of volumes (in letter order) and space query:
    //  1. keep a volume whose file-system name begins with "NTFS" (filter 1) or "FAT"
    //     (filter 0), compared case-sensitively; leave out the system volume;
    //  2. ask its space; when that fails, log it and list the volume with unknown sizes;
    //  3. append its row.
    static std::unique_ptr<CVolumeListModel> Enumerate(int filter, const std::vector<VolumeInfo>& volumes,
                                                       const SpaceQuery& query);

    int GetRowCount() override { return static_cast<int>(DriveLetters.size()); }
    // Column 0: the display name; any other column: the file-system name.
    std::u16string GetCellText(int row, int column) override;
    // Column 2: the total bytes; any other column: the free bytes. -1 when unknown.
    int64_t GetCellBytes(int row, int column) override;
    // RGB(30, 30, 30) for every cell.
    ListColor GetCellColor(int row, int column) override;
    // The device path and where it is mounted.
    std::u16string GetRowToolTip(int row) override;

    // One row per volume, all of the same length, in listing order.
    std::vector<std::u16string> DisplayNames;  // label + " (X:)"; an empty label leaves the blank
    std::vector<std::u16string> FileSystems;   // "NTFS", "FAT", "FAT32"
    std::vector<uint64_t> TotalBytes;          // size of the volume; kUnknownBytes when unread
    std::vector<uint64_t> FreeBytes;           // every free byte; kUnknownBytes when unread
    std::vector<char16_t> DriveLetters;        // upper case
    std::vector<std::u16string> Labels;        // possibly empty
    // Beside the six: the row's tooltip (device path, mount points).
    std::vector<std::u16string> ToolTips;
};

// Posted to a newly created page whose list is empty; its handler tells the user once.
class NoVolumeEvent : public QEvent {
public:
    static constexpr QEvent::Type kType = static_cast<QEvent::Type>(0x7C91);  // WM_NO_VOLUME
    NoVolumeEvent() : QEvent(kType) {}
};

// The refresh command of the toolbar button.
inline constexpr int kCmdRefreshVolume = 158;

// The five one-pixel rectangles drawn outward around a list or text box, innermost first.
void PaintBoxFrame(QPainter& painter, const QRect& box);

class CVolumeListPage : public CBasePage {
    Q_OBJECT
public:
    // Creates the children and the first list for `filter` (kFilterNtfs or kFilterFat); posts
    // a NoVolumeEvent to itself when that list is empty.
    CVolumeListPage(CMainFrame* frame, int filter);
    ~CVolumeListPage() override;

    void OnCommand(int command) override;
    // Back from the conversion page: the list is enumerated again.
    void OnReactivate() override;

    // Enumerates anew and replaces the list's model (no message when it comes back empty).
    void Refresh();

    int Filter() const { return Filter_; }
    CFSListCtrl* List() const { return List_; }
    CDlgHeader* Header() const { return Header_; }
    CQuillToolbar* Toolbar() const { return Toolbar_; }
    CQuillFlatButton* Button(CWizardBtnGroup::Id id) const { return Buttons_.Button(id); }
    // The model the list shows now (owned by the list).
    CVolumeListModel* Volumes() const;

protected:
    bool event(QEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    void Next();

    CDlgHeader* Header_;
    CQuillToolbar* Toolbar_;
    CWizardBtnGroup Buttons_;
    CFSListCtrl* List_;
    int Filter_;
};
