#include "crashreport/CCrashReportDlg.h"

#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QLocale>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTextBlock>
#include <QTextCursor>
#include <QVBoxLayout>

#include "app/MessageSeam.h"
#include "controls/CHyperLink.h"
#include "crashreport/CReportContentsDlg.h"
#include "crashreport/ReportFiles.h"
#include "platform/ExecutablePath.h"

namespace {

constexpr int kWindowWidth = 460;
constexpr int kBannerIconSize = 32;
constexpr int kMargin = 12;

QLabel* WrappedLabel(const QString& text, QWidget* parent, bool bold = false) {
    auto* label = new QLabel(text, parent);
    label->setWordWrap(true);
    if (bold) {
        QFont f = label->font();
        f.setBold(true);
        label->setFont(f);
    }
    return label;
}

}  // namespace

CCrashReportDlg::CCrashReportDlg(const QString& programName, const std::string& directory,
                                 const QIcon& programIcon, QWidget* parent)
    : QDialog(parent), Sender_([](const std::vector<ReportEntry>& entries, const std::u16string& description) {
          return SendErrorReport(entries, description, platform::ExecutablePath());
      }) {
    // 1. The window: the program's name as title, its icon.
    setWindowTitle(programName);
    setWindowIcon(programIcon);
    setFixedWidth(kWindowWidth);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, kMargin);
    layout->setSpacing(0);

    // 2. The white band: the banner in bold black, the program's icon at its right.
    auto* band = new QWidget(this);
    band->setAutoFillBackground(true);
    QPalette bandPalette = band->palette();
    bandPalette.setColor(QPalette::Window, Qt::white);
    bandPalette.setColor(QPalette::WindowText, Qt::black);
    band->setPalette(bandPalette);
    auto* bandLayout = new QHBoxLayout(band);
    bandLayout->setContentsMargins(kMargin, 10, kMargin, 10);
    bandLayout->setSpacing(kMargin);
    bandLayout->addWidget(
        WrappedLabel(QStringLiteral("%1 has encountered a problem and needs to close.  We are sorry for the "
                                    "inconvenience.")
                         .arg(programName),
                     band, true),
        1);
    auto* icon = new QLabel(band);
    icon->setPixmap(programIcon.pixmap(kBannerIconSize, kBannerIconSize));
    icon->setFixedSize(kBannerIconSize, kBannerIconSize);
    bandLayout->addWidget(icon, 0, Qt::AlignTop);
    layout->addWidget(band);
    auto* line = new QFrame(this);
    line->setFrameShape(QFrame::HLine);
    line->setFrameShadow(QFrame::Sunken);
    layout->addWidget(line);

    // The fixed texts, the description box and the link.
    auto* body = new QVBoxLayout();
    body->setContentsMargins(kMargin, 10, kMargin, 0);
    body->setSpacing(8);
    layout->addLayout(body);
    body->addWidget(WrappedLabel(
        QStringLiteral("If you were in the middle of something, the information you were working on might be lost."),
        this));
    body->addWidget(WrappedLabel(QStringLiteral("Please tell us about this problem."), this, true));
    body->addWidget(WrappedLabel(QStringLiteral("We have created an error report that you can send to us.  We will "
                                                "treat this report as confidential and anonymous."),
                                 this));
    body->addWidget(WrappedLabel(
        QStringLiteral("To help us diagnose the cause of this error and improve this software, please describe what "
                       "you were doing when this error occurred, and send this report to us."),
        this));
    body->addWidget(WrappedLabel(QStringLiteral("Describe what you were doing when the error occurred  (optional):"), this));
    Description_ = new QPlainTextEdit(this);
    Description_->setTabChangesFocus(true);
    Description_->setFixedHeight(80);
    connect(Description_->document(), &QTextDocument::contentsChange, this,
            [this](int position, int, int added) { LimitDescription(position, added); });
    body->addWidget(Description_);

    auto* linkRow = new QHBoxLayout();
    linkRow->setSpacing(4);
    linkRow->addWidget(new QLabel(QStringLiteral("To see what this report contains,"), this));
    Link_ = new CHyperLink(QStringLiteral("Click Here."), this);
    Link_->SetBackground(palette().color(QPalette::Window));
    Link_->SetLinkFont(font());
    Link_->setFixedSize(Link_->sizeHint());
    linkRow->addWidget(Link_);
    linkRow->addStretch(1);
    body->addLayout(linkRow);
    connect(Link_, &CHyperLink::Clicked, this, &CCrashReportDlg::ShowContents);

    // The buttons.
    auto* buttons = new QHBoxLayout();
    buttons->setContentsMargins(kMargin, 14, kMargin, 0);
    buttons->addStretch(1);
    Send_ = new QPushButton(QStringLiteral("Send Error Report"), this);
    DontSend_ = new QPushButton(QStringLiteral("Don't Send"), this);
    Send_->setDefault(true);
    buttons->addWidget(Send_);
    buttons->addWidget(DontSend_);
    layout->addLayout(buttons);
    connect(Send_, &QPushButton::clicked, this, &CCrashReportDlg::Send);
    connect(DontSend_, &QPushButton::clicked, this, &QDialog::reject);

    // 3. The report's files.
    Entries_ = BuildReportEntries(directory, QLocale::system().groupSeparator().toStdU16String());
    Description_->setFocus();
}

CCrashReportDlg::~CCrashReportDlg() = default;

void CCrashReportDlg::LimitDescription(int position, int added) {
    if (Limiting || added <= 0) return;
    // characterCount counts the document's closing paragraph separator too.
    const int excess = Description_->document()->characterCount() - 1 - kReportDescriptionLimit;
    if (excess <= 0) return;
    Limiting = true;
    QTextCursor cut(Description_->document());
    const int end = position + added;
    cut.setPosition(end - std::min(excess, added));
    cut.setPosition(end, QTextCursor::KeepAnchor);
    cut.removeSelectedText();
    Limiting = false;
}

void CCrashReportDlg::ShowContents() {
    if (Entries_.empty()) return;
    Contents_ = std::make_unique<CReportContentsDlg>(&Entries_, this);
    Contents_->open();
}

void CCrashReportDlg::Send() {
    // 1.-2. The sender packs the checked files and, unless there is nothing to send, mails
    //       them (the window is disabled meanwhile).
    // 3. Nothing to send: ask for a file or a message; the window stays open.
    // 4. Not sent: the mail facility's error, then the message naming the archive.
    // 5. Sent or not, the window closes.
    if (!Sender_) return;
    setEnabled(false);
    const SendReportResult result = Sender_(Entries_, Description_->toPlainText().toStdU16String());
    setEnabled(true);
    switch (result.Outcome) {
    case SendOutcome::NothingToSend:
        AskUser(this, QString::fromUtf8(result.Message), MessageIcon::Information);
        return;
    case SendOutcome::NotSent:
        if (!result.Error.empty())
            AskUser(this, QString::fromUtf8(result.Error), MessageIcon::Error, MessageButtons::Ok,
                    QString::fromLatin1(kMailErrorCaption));
        AskUser(this, QString::fromUtf8(result.Message), MessageIcon::Warning);
        break;
    case SendOutcome::Sent: break;
    }
    accept();
}
