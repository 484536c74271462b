#include "app/CVolumeListPage.h"

#include <QCoreApplication>
#include <QPainter>

#include "app/CExecuteProgressPage.h"
#include "app/MessageSeam.h"
#include "controls/CFSListCtrl.h"
#include "controls/CQuillFlatButton.h"
#include "controls/CQuillToolbar.h"
#include "device/Log.h"
#include "platform/TextEncoding.h"

namespace {

bool BeginsWith(const std::u16string& text, const std::u16string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

int64_t CellBytes(uint64_t bytes) { return bytes == kUnknownBytes ? -1 : static_cast<int64_t>(bytes); }

std::u16string ToolTipOf(const VolumeInfo& v) {
    std::u16string tip = platform::Utf8ToUtf16(v.DevicePath);
    if (v.MountPoints.empty()) return tip + u"\nnot mounted";
    for (const std::string& mountPoint : v.MountPoints) tip += u"\nmounted at " + platform::Utf8ToUtf16(mountPoint);
    return tip;
}

}  // namespace

std::unique_ptr<CVolumeListModel> CVolumeListModel::Enumerate(int filter) {
    return Enumerate(filter, ListVolumes(), QueryVolumeSpace);
}

std::unique_ptr<CVolumeListModel> CVolumeListModel::Enumerate(int filter, const std::vector<VolumeInfo>& volumes,
                                                              const SpaceQuery& query) {
    auto model = std::make_unique<CVolumeListModel>();
    const std::u16string prefix = filter == kFilterNtfs ? u"NTFS" : u"FAT";
    for (const VolumeInfo& v : volumes) {
        // 1. The module's file systems, never the system volume.
        if (!BeginsWith(v.FileSystem, prefix) || v.IsSystem) continue;

        // 2. Its space; a volume whose space cannot be read is listed all the same.
        VolumeSpace space;
        space.TotalBytes = space.FreeBytes = kUnknownBytes;
        if (!query(v, &space)) {
            LogWarnA("The free space of %s cannot be read.", v.DevicePath.c_str());
            space.TotalBytes = space.FreeBytes = kUnknownBytes;
        }

        // 3. The row.
        const char16_t drive[] = {u' ', u'(', v.DriveLetter, u':', u')', 0};
        model->DisplayNames.push_back(v.Label + drive);
        model->FileSystems.push_back(v.FileSystem);
        model->TotalBytes.push_back(space.TotalBytes);
        model->FreeBytes.push_back(space.FreeBytes);
        model->DriveLetters.push_back(v.DriveLetter);
        model->Labels.push_back(v.Label);
        model->ToolTips.push_back(ToolTipOf(v));
    }
    return model;
}

std::u16string CVolumeListModel::GetCellText(int row, int column) {
    if (row < 0 || row >= GetRowCount()) return {};
    return column == 0 ? DisplayNames[row] : FileSystems[row];
}

int64_t CVolumeListModel::GetCellBytes(int row, int column) {
    if (row < 0 || row >= GetRowCount()) return -1;
    return CellBytes(column == 2 ? TotalBytes[row] : FreeBytes[row]);
}

ListColor CVolumeListModel::GetCellColor(int, int) { return ListRgb(30, 30, 30); }

std::u16string CVolumeListModel::GetRowToolTip(int row) {
    if (row < 0 || row >= GetRowCount()) return {};
    return ToolTips[row];
}

// ---------------------------------------------------------------------------------------
// The page

namespace {

const QColor kPageBackground(231, 235, 239);

}  // namespace

void PaintBoxFrame(QPainter& painter, const QRect& box) {
    static const QColor kFrame[] = {{165, 172, 181}, {211, 215, 219}, {217, 220, 224}, {222, 226, 229}, {227, 231, 235}};
    QRect r = box;
    painter.setBrush(Qt::NoBrush);
    for (const QColor& c : kFrame) {
        r.adjust(-1, -1, 1, 1);
        painter.setPen(c);
        painter.drawRect(r.adjusted(0, 0, -1, -1));
    }
}

CVolumeListPage::CVolumeListPage(CMainFrame* frame, int filter)
    : CBasePage(frame), Header_(new CDlgHeader(this)), Toolbar_(new CQuillToolbar(this)), Buttons_(this),
      List_(nullptr), Filter_(filter) {
    const bool ntfs = filter == kFilterNtfs;
    // 1. Header with the module's title.
    Header_->SetTitle(CMainFrame::ModuleTitle(ntfs ? kModuleNtfsToFat32 : kModuleFatToNtfs));
    Header_->SetSubtitle(ntfs ? QStringLiteral("Please select the NTFS volume which you want to convert to FAT32 below.")
                              : QStringLiteral("Please select the FAT/FAT32 volume which you want to convert to NTFS below."));
    Header_->show();

    // 2. The toolbar with its one button.
    Toolbar_->setGeometry(0, 50, width(), 45);
    Toolbar_->SetButtonFont(TahomaFont(11, 400));
    CQuillFlatButton* refresh = Toolbar_->AddButton(
        QStringLiteral(" Refresh Volume"), ntfs ? QStringLiteral("To search newly connected NTFS volumes.")
                                                : QStringLiteral("To search newly connected FAT/FAT32 volumes."));
    BindCommand(refresh, kCmdRefreshVolume);
    Toolbar_->show();

    // 3. The button row.
    Buttons_.Button(CWizardBtnGroup::Next)->setToolTip(QStringLiteral("To analyze the selected volume."));
    for (CWizardBtnGroup::Id id :
         {CWizardBtnGroup::Next, CWizardBtnGroup::Back, CWizardBtnGroup::Website, CWizardBtnGroup::Help, CWizardBtnGroup::Update})
        Buttons_.Button(id)->show();

    // 4. The list with the first enumeration and its four columns.
    List_ = new CFSListCtrl(this);
    List_->setGeometry(QRect(QPoint(10, 80), QPoint(509, 279)));
    List_->SetModel(CVolumeListModel::Enumerate(filter));
    List_->AddColumn(QStringLiteral("Volume"), ListColumnType::Text, 200);
    List_->AddColumn(QStringLiteral("File System"), ListColumnType::Text, 80);
    List_->AddColumn(QStringLiteral("Total Size"), ListColumnType::Size, 100);
    List_->AddColumn(QStringLiteral("Free Space"), ListColumnType::Size, 100);
    List_->show();

    // 5. An empty list is told once, after the page is on screen.
    if (List_->Model()->GetRowCount() == 0) QCoreApplication::postEvent(this, new NoVolumeEvent);
}

CVolumeListPage::~CVolumeListPage() = default;

CVolumeListModel* CVolumeListPage::Volumes() const { return static_cast<CVolumeListModel*>(List_->Model()); }

void CVolumeListPage::Refresh() {
    List_->SetModel(CVolumeListModel::Enumerate(Filter_));
    List_->viewport()->update();
}

void CVolumeListPage::OnReactivate() { Refresh(); }

void CVolumeListPage::OnCommand(int command) {
    switch (command) {
    case kCmdNext: Next(); break;
    case kCmdRefreshVolume: Refresh(); break;
    default: CBasePage::OnCommand(command); break;
    }
}

void CVolumeListPage::Next() {
    // 1. Nothing selected: the same request in both modules.
    const int row = List_->SelectedRow();
    if (row < 0) {
        AskUser(this, QStringLiteral("Please select a volume to convert to FAT32."), MessageIcon::Information);
        return;
    }
    // 2. The conversion page for the selected volume.
    CVolumeListModel* volumes = Volumes();
    auto* page = new CExecuteProgressPage(Frame(), volumes->DriveLetters[static_cast<size_t>(row)],
                                          volumes->Labels[static_cast<size_t>(row)],
                                          volumes->TotalBytes[static_cast<size_t>(row)],
                                          volumes->FreeBytes[static_cast<size_t>(row)]);
    Frame()->Pages().PushPage(page);
}

bool CVolumeListPage::event(QEvent* event) {
    if (event->type() == NoVolumeEvent::kType) {
        AskUser(this,
                Filter_ == kFilterNtfs
                    ? QStringLiteral("No NTFS Volume is found on your computer. Please try refreshing volume.")
                    : QStringLiteral("No FAT Volume is found on your computer. Please try refreshing volume."),
                MessageIcon::Information);
        return true;
    }
    return CBasePage::event(event);
}

void CVolumeListPage::resizeEvent(QResizeEvent* event) {
    const int cx = width(), cy = height();
    Buttons_.Layout(cx, cy);
    Header_->Layout(cx);
    Toolbar_->setGeometry(0, 50, cx, 45);
    List_->setGeometry(6, 100, cx - 12, cy - 150);
    CBasePage::resizeEvent(event);
}

void CVolumeListPage::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.fillRect(rect(), kPageBackground);
    PaintBoxFrame(p, List_->geometry());
}
