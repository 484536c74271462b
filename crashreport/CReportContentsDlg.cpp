#include "crashreport/CReportContentsDlg.h"

#include <QFontDatabase>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "crashreport/ReportFileView.h"
#include "crashreport/ReportFiles.h"

namespace {

// Debian's fonts-wine carries a Courier New look-alike (family "Courier").
constexpr const char* kCourierFile = "/usr/share/wine/fonts/courier.ttf";
constexpr int kViewerPixelSize = 13;

// "Courier New" when it is installed, else fonts-wine's Courier, else the system's
// fixed-pitch face.
QFont ViewerFont() {
    static const QString family = [] {
        if (QFontDatabase::hasFamily(QStringLiteral("Courier New"))) return QStringLiteral("Courier New");
        const int id = QFontDatabase::addApplicationFont(QString::fromLatin1(kCourierFile));
        const QStringList families = id >= 0 ? QFontDatabase::applicationFontFamilies(id) : QStringList();
        return families.isEmpty() ? QString() : families.first();
    }();
    QFont font = family.isEmpty() ? QFontDatabase::systemFont(QFontDatabase::FixedFont) : QFont(family);
    font.setStyleHint(QFont::TypeWriter);
    font.setFixedPitch(true);
    font.setPixelSize(kViewerPixelSize);
    return font;
}

}  // namespace

CReportContentsDlg::CReportContentsDlg(std::vector<ReportEntry>* entries, QWidget* parent)
    : QDialog(parent), Entries(entries) {
    setWindowTitle(QStringLiteral("Error Report Contents"));
    setModal(true);
    resize(600, 460);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 10);
    layout->setSpacing(6);

    // 1. The header line: blue on white, 2 pixels taller than the dialog's font.
    auto* header = new QLabel(QStringLiteral("    Please uncheck any files you do not wish to send."), this);
    QFont headerFont = font();
    headerFont.setPixelSize(QFontInfo(font()).pixelSize() + 2);
    header->setFont(headerFont);
    header->setAutoFillBackground(true);
    QPalette headerPalette = header->palette();
    headerPalette.setColor(QPalette::Window, Qt::white);
    headerPalette.setColor(QPalette::WindowText, Qt::blue);
    header->setPalette(headerPalette);
    header->setContentsMargins(0, 10, 0, 10);
    layout->addWidget(header);

    auto* body = new QVBoxLayout();
    body->setContentsMargins(10, 0, 10, 0);
    body->setSpacing(6);
    layout->addLayout(body, 1);

    // 2. The list: a check box and the file's name, description, type and size per row.
    List_ = new QTreeWidget(this);
    List_->setColumnCount(ColumnCount);
    List_->setHeaderLabels({QStringLiteral("Send"), QStringLiteral("Name"), QStringLiteral("Description"),
                            QStringLiteral("Type"), QStringLiteral("Size")});
    List_->setRootIsDecorated(false);
    List_->setItemsExpandable(false);
    List_->setUniformRowHeights(true);
    List_->setAllColumnsShowFocus(true);
    List_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    List_->header()->setStretchLastSection(true);
    List_->header()->setSectionsMovable(false);
    for (const ReportEntry& entry : *Entries) {
        auto* item = new QTreeWidgetItem(List_);
        item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable);
        item->setCheckState(ColSend, entry.Send ? Qt::Checked : Qt::Unchecked);
        item->setText(ColName, QString::fromStdU16String(ReportFileName(entry.FullPath)));
        item->setText(ColDescription, QString::fromStdU16String(entry.Description));
        item->setText(ColType, QString::fromStdU16String(entry.TypeText));
        item->setText(ColSize, QString::fromStdU16String(entry.SizeText));
    }
    List_->setFixedHeight(84);
    body->addWidget(List_);
    connect(List_, &QTreeWidget::itemActivated, this,
            [this](QTreeWidgetItem* item, int) { ViewEntry(List_->indexOfTopLevelItem(item)); });
    // Enter in the list views the file and goes no further: the list would pass it on to
    // the dialog, whose default button would close the window.
    List_->installEventFilter(this);

    // 3. The file's name and description, and the viewer.
    body->addWidget(new QLabel(QStringLiteral("Double-click a file to view its contents."), this));
    auto* fields = new QGridLayout();
    fields->setHorizontalSpacing(8);
    fields->addWidget(new QLabel(QStringLiteral("Name:"), this), 0, 0);
    fields->addWidget(new QLabel(QStringLiteral("Description:"), this), 1, 0);
    Name_ = new QLabel(this);
    Description_ = new QLabel(this);
    fields->addWidget(Name_, 0, 1);
    fields->addWidget(Description_, 1, 1);
    fields->setColumnStretch(1, 1);
    body->addLayout(fields);
    Viewer_ = new QPlainTextEdit(this);
    Viewer_->setReadOnly(true);
    Viewer_->setLineWrapMode(QPlainTextEdit::NoWrap);
    Viewer_->setFont(ViewerFont());
    body->addWidget(Viewer_, 1);

    // 4. Close.
    auto* buttons = new QHBoxLayout();
    buttons->setContentsMargins(10, 0, 10, 0);
    buttons->addStretch(1);
    Close_ = new QPushButton(QStringLiteral("Close"), this);
    Close_->setDefault(true);
    buttons->addWidget(Close_);
    layout->addLayout(buttons);
    connect(Close_, &QPushButton::clicked, this, &QDialog::accept);
    // The keyboard starts in the list: arrows choose a file, Enter views it.
    List_->setFocus();
}

void CReportContentsDlg::ViewEntry(int row) {
    if (row < 0 || row >= static_cast<int>(Entries->size())) return;
    const ReportEntry& entry = (*Entries)[static_cast<size_t>(row)];
    Name_->setText(QString::fromStdU16String(ReportFileName(entry.FullPath)));
    Description_->setText(QString::fromStdU16String(entry.Description));
    const ReportFileView view = ViewReportFile(entry.FullPath);
    // The box keeps one line break per CR LF.
    Viewer_->setPlainText(QString::fromStdU16String(view.Text).replace(QStringLiteral("\r\n"), QStringLiteral("\n")));
    Viewer_->moveCursor(QTextCursor::Start);
    Viewer_->verticalScrollBar()->setValue(0);
    Viewer_->horizontalScrollBar()->setValue(0);
}

bool CReportContentsDlg::eventFilter(QObject* watched, QEvent* event) {
    if (watched == List_ && event->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent*>(event)->key();
        if ((key == Qt::Key_Return || key == Qt::Key_Enter) && List_->currentItem()) {
            ViewEntry(List_->indexOfTopLevelItem(List_->currentItem()));
            return true;
        }
    }
    return QDialog::eventFilter(watched, event);
}

void CReportContentsDlg::done(int result) {
    for (int row = 0; row < List_->topLevelItemCount() && row < static_cast<int>(Entries->size()); ++row)
        (*Entries)[static_cast<size_t>(row)].Send =
            List_->topLevelItem(row)->checkState(ColSend) == Qt::Checked ? 1 : 0;
    QDialog::done(result);
}

void CReportContentsDlg::FitColumns() {
    const int width = List_->viewport()->width();
    for (int c = 0; c < ColSize; ++c) List_->setColumnWidth(c, width * kColumnShares[c] / 64);
}

void CReportContentsDlg::resizeEvent(QResizeEvent* event) {
    QDialog::resizeEvent(event);
    FitColumns();
}

void CReportContentsDlg::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    FitColumns();
}
