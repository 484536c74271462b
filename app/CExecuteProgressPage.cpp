#include "app/CExecuteProgressPage.h"

#include <QApplication>
#include <QCoreApplication>
#include <QPaintEvent>
#include <QPainter>
#include <QProgressBar>
#include <QScrollBar>
#include <QTextCursor>
#include <QPushButton>
#include <QSvgRenderer>
#include <QTextEdit>
#include <QThread>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <new>
#include <optional>

#include "app/AppInfo.h"
#include "app/ConvertToNtfsThread.h"
#include "app/CVolumeListPage.h"
#include "app/MessageSeam.h"
#include "controls/CQuillFlatButton.h"
#include "device/Log.h"
#include "device/VolumePreparation.h"
#include "device/CVolumeDevice.h"
#include "engine/ConvertNtfsToFat32.h"
#include "platform/CrashSignals.h"
#include "platform/DriveTable.h"
#include "platform/Process.h"
#include "platform/ShellOpen.h"
#include "platform/TextEncoding.h"
#include "undo/CUndoVolumeDevice.h"
#include "undo/UndoFile.h"

namespace {

const char kFinishCaption[] = "Finish !";
const char kConvertCaption[] = "Convert >";

// The side picture: a drive with an arrow to the file system it becomes (%1), our own
// drawing. It ends above the note area (which starts 343 pixels down at the smallest size),
// since it is drawn last.
const char kSidePictureSvg[] = R"svg(<svg xmlns="http://www.w3.org/2000/svg" width="120" height="280" viewBox="0 0 120 280">
  <defs>
    <linearGradient id="g" x1="0" y1="0" x2="0" y2="1">
      <stop offset="0" stop-color="#dfe7f1"/><stop offset="1" stop-color="#e7ebef"/>
    </linearGradient>
    <linearGradient id="d" x1="0" y1="0" x2="0" y2="1">
      <stop offset="0" stop-color="#8fa6c0"/><stop offset="1" stop-color="#546a84"/>
    </linearGradient>
  </defs>
  <rect x="0" y="0" width="120" height="280" fill="url(#g)"/>
  <rect x="20" y="40" width="80" height="46" rx="6" fill="url(#d)"/>
  <rect x="28" y="72" width="40" height="5" rx="2" fill="#c9d6e4"/>
  <circle cx="86" cy="74" r="4" fill="#7fe07f"/>
  <path d="M60 100 v40 h-14 l24 26 l24 -26 h-14 v-40 z" fill="#4f7fb8"/>
  <rect x="20" y="180" width="80" height="46" rx="6" fill="url(#d)"/>
  <text x="60" y="210" font-family="Tahoma" font-size="15" fill="#ffffff" text-anchor="middle">%1</text>
</svg>)svg";

QPixmap SidePicture(const char* target) {
    QSvgRenderer renderer{QString::fromLatin1(kSidePictureSvg).arg(QLatin1String(target)).toLatin1()};
    QPixmap pixmap(renderer.defaultSize());
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    renderer.render(&painter);
    return pixmap;
}

QString FromU16(const std::u16string& s) { return QString::fromStdU16String(s); }

// A size for the details box; unknown sizes stay empty.
QString SizeText(uint64_t bytes) {
    return bytes == kUnknownBytes ? QString() : FromU16(FormatSize(static_cast<int64_t>(bytes)));
}

QString ModuleTitleOf(bool toFat32) { return toFat32 ? "Convert NTFS to FAT32" : "Convert FAT to NTFS"; }

int64_t NowSeconds() {
    return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// A message in the design's wording with the drive letter put in for its one "%c".
std::u16string WithLetter(const char16_t* pattern, char16_t letter) {
    std::u16string text = pattern;
    const size_t at = text.find(u"%c");
    if (at != std::u16string::npos) text.replace(at, 2, 1, letter);
    return text;
}

// Replacement for the volume opener (tests).
VolumeOpener& Opener() {
    static VolumeOpener opener;
    return opener;
}

}  // namespace

void SetVolumeOpener(VolumeOpener opener) { Opener() = std::move(opener); }

CExecuteProgressPage::CExecuteProgressPage(CMainFrame* frame, char16_t driveLetter, const std::u16string& volumeLabel,
                                           uint64_t totalBytes, uint64_t freeBytes)
    : CBasePage(frame),
      DriveLetter(driveLetter),
      VolumeLabel(volumeLabel),
      TotalBytes(totalBytes),
      FreeBytes(freeBytes),
      HeaderBand(new CDlgHeader(this)),
      Buttons(this),
      ToFat32(frame->Module() == kModuleNtfsToFat32 ? 1 : 0) {
    // 1. The page font, for the page and the details box.
    pageFont_ = QFont("Tahoma");
    pageFont_.setPixelSize(12);
    pageFont_.setWeight(QFont::Normal);
    setFont(pageFont_);
    sidePicture_ = SidePicture(ToFat32 ? "FAT32" : "NTFS");

    // 2. The header band.
    HeaderBand->SetTitle(ModuleTitleOf(ToFat32));
    HeaderBand->SetSubtitle(ToFat32 ? "The program will convert this volume to FAT32, please click 'Convert' button."
                                    : "The program will convert this volume to NTFS, please click 'Convert' button.");
    HeaderBand->show();

    // 3. The button row; Next carries Convert.
    Next()->setToolTip(ToFat32 ? "Click to convert NTFS to FAT32." : "Click to convert FAT/FAT32 to NTFS.");
    Next()->setText(kConvertCaption);
    for (CWizardBtnGroup::Id id :
         {CWizardBtnGroup::Next, CWizardBtnGroup::Back, CWizardBtnGroup::Website, CWizardBtnGroup::Help, CWizardBtnGroup::Update})
        Buttons.Button(id)->show();

    // 4. The details box.
    DetailsBox = new QTextEdit(this);
    DetailsBox->setReadOnly(true);
    DetailsBox->setFont(pageFont_);
    // Tab stops past the longest field name ("Volume Label:"), so every value is set apart.
    DetailsBox->setTabStopDistance(QFontMetrics(pageFont_).horizontalAdvance("Volume Label:  "));
    DetailsBox->setFrameShape(QFrame::NoFrame);
    DetailsBox->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    DetailsBox->setStyleSheet("QTextEdit { background: white; }");
    DetailsBox->setPlainText(DetailsFor(ToFat32, DriveLetter, VolumeLabel, TotalBytes, FreeBytes));
    DetailsBox->show();

    // 5. The bar, hidden until Convert.
    ProgressBar = new QProgressBar(this);
    ProgressBar->setRange(0, 100);
    ProgressBar->setValue(0);
    ProgressBar->setTextVisible(false);
    ProgressBar->hide();
}

CExecuteProgressPage::~CExecuteProgressPage() {
    if (worker_.joinable()) worker_.join();
}

QString CExecuteProgressPage::DetailsFor(bool toFat32, char16_t letter, const std::u16string& label,
                                         uint64_t totalBytes, uint64_t freeBytes) {
    // "\r\n %s \r\n\r\n Drive Letter:\t%c \r\n Volume Label:\t%s \r\n Total Size:\t%s \r\n
    //  Free Space:\t%s\r\n\r\n"; the box shows each CR LF as one line break.
    QString text = QString("\r\n %1 \r\n\r\n Drive Letter:\t%2 \r\n Volume Label:\t%3 \r\n Total Size:\t%4 \r\n "
                           "Free Space:\t%5\r\n\r\n")
                       .arg(ModuleTitleOf(toFat32), QString(QChar(letter)), FromU16(label), SizeText(totalBytes),
                            SizeText(freeBytes));
    return text.replace("\r\n", "\n");
}

QString CExecuteProgressPage::ElapsedText(int64_t seconds, int position) {
    if (seconds < 0) seconds = 0;  // a clock set back shows no time rather than 23:59
    char text[96];
    std::snprintf(text, sizeof text, "Elapsed Time: %02d:%02d:%02d        Total Progress: %d%%",
                  static_cast<int>(seconds / 3600 % 24), static_cast<int>(seconds / 60 % 60),
                  static_cast<int>(seconds % 60), position);
    return QString::fromLatin1(text);
}

// ---- Progress sink (worker thread) ----------------------------------------------------------

void CExecuteProgressPage::OnUiThread(const std::function<void()>& fn) {
    if (QThread::currentThread() == thread()) {
        fn();
    } else {
        QMetaObject::invokeMethod(this, fn, Qt::BlockingQueuedConnection);
    }
}

void CExecuteProgressPage::SetProgress(float f) {
    if (!(f == f)) return;  // not a number
    // Truncated toward zero, within the bar's range.
    const double scaled = static_cast<double>(f) * 100.0;
    const int position = scaled <= 0 ? 0 : scaled >= 100 ? 100 : static_cast<int>(scaled);
    if (shownPosition_.exchange(position) == position) return;
    OnUiThread([this, position] {
        // The value is set while the worker waits; the bar is painted when the event loop
        // runs next, not inside this call (QProgressBar repaints at once otherwise, which kept
        // the engine waiting for every paint).
        ProgressBar->setUpdatesEnabled(false);
        ProgressBar->setValue(position);
        ProgressBar->setUpdatesEnabled(true);
        update(ElapsedRect());
    });
}

void CExecuteProgressPage::SetStatusText(const char16_t* text) {
    {
        std::lock_guard<std::mutex> lock(TextLock);
        StatusText = text != nullptr ? text : u"";
    }
    QMetaObject::invokeMethod(this, [this] { update(StatusRect()); }, Qt::QueuedConnection);
}

void CExecuteProgressPage::AppendOutput(const QString& text) {
    OnUiThread([this, &text] {
        QTextCursor end = DetailsBox->textCursor();
        end.movePosition(QTextCursor::End);
        DetailsBox->setTextCursor(end);
        DetailsBox->insertPlainText(text);
    });
    QMetaObject::invokeMethod(
        this, [this] { DetailsBox->verticalScrollBar()->setValue(DetailsBox->verticalScrollBar()->maximum()); },
        Qt::QueuedConnection);
}

// ---- The worker ------------------------------------------------------------------------------

void CExecuteProgressPage::ConvertThread() {
    // 1. Refuse the volume that holds this program.
    // 2. Lock the volume; the question about running programs is asked on the user-interface
    //    thread while this thread waits.
    // 3. Start the elapsed-time timer.
    // 4. Run the engine with the page as its progress sink.
    // 5. In every case: release a locked volume, stop the timer, post the outcome.
    // A stack overflow in the engine is reported like any crash of the wizard.
    platform::AddCrashSignalStack();
    std::unique_ptr<SimpleException> failure;
    platform::VolumeHandle handle = platform::kInvalidVolume;
    auto fail = [&](const std::u16string& text) {
        SetStatusText(text.c_str());
        failure = std::make_unique<SimpleException>(text, 1);
    };
    try {
        const std::optional<platform::DriveEntry> drive =
            DriveLetter < 0x80 ? platform::LookupDrive(static_cast<char>(DriveLetter)) : std::nullopt;
        const std::optional<platform::VolumeLocation> self = platform::ExecutableVolume();
        if (drive && self && platform::SameVolume(drive->devicePath, self->devicePath)) {
            throw SimpleException(WithLetter(u"The program self is running on the volume '%c:' which will be "
                                             u"converted,\nplease put Velundra installs to other volume and try again.",
                                             DriveLetter),
                                  1);
        }

        auto ask = [this](const char16_t* question) {
            bool yes = false;
            OnUiThread([&] {
                yes = AskUser(this, QString::fromUtf16(question), MessageIcon::Question, MessageButtons::YesNo) ==
                      MessageAnswer::Yes;
            });
            return yes;
        };
        handle = LockVolume(DriveLetter, ask);
        if (handle == platform::kInvalidVolume) {
            throw SimpleException(WithLetter(u"Opening volume '%c:' failed. \nPlease try closing the programs that are "
                                             u"running on this volume.",
                                             DriveLetter),
                                  1);
        }

        OnUiThread([this] {
            StartTime = NowTime = NowSeconds();
            timerId_ = startTimer(1000);
        });
        // Every conversion keeps an undo file in the program's data folder; the details box
        // says where and how to use it before the first write.
        std::string problem;
        const std::string undoPath = WizardUndoPath(static_cast<char>(DriveLetter), &problem);
        CVolumeDevice device(handle);
        std::unique_ptr<CUndoVolumeDevice> undo;
        if (!drive) problem = "The drive is no longer in the drive table.";
        if (!undoPath.empty() && drive) {
            undo = StartUndo(undoPath, drive->devicePath, UndoDirection::NtfsToFat32, device, &problem);
        }
        if (!undo) throw SimpleException(platform::Utf8ToUtf16(problem + " Nothing was changed."), 1);
        LogInfoA("Undo file: %s", undoPath.c_str());
        const QString undoNote = QString("\nUndo file: %1\n(velundra-convert --rollback %1 %2 puts the volume back)\n")
                                     .arg(QString::fromStdString(undoPath), QString::fromStdString(drive->devicePath));
        OnUiThread([this, undoNote] { DetailsBox->append(undoNote); });
        ConvertNtfsToFat32(this, undo.get(), GetVolumeSectors(handle));
    } catch (const SimpleException& e) {
        SetStatusText(e.Text().c_str());
        failure = std::make_unique<SimpleException>(e);
    } catch (const std::bad_alloc& e) {
        fail(QString("%1 Please increase the RAM of your computer and try again.").arg(e.what()).toStdU16String());
    } catch (const std::exception& e) {
        fail(QString::fromUtf8(e.what()).left(259).toStdU16String());
    }

    if (handle != platform::kInvalidVolume) ReleaseVolume(handle);
    OnUiThread([this] {
        if (timerId_ != 0) killTimer(timerId_);
        timerId_ = 0;
    });
    QCoreApplication::postEvent(this, new ConvertDoneEvent(std::move(failure)));
}

// ---- User-interface thread -------------------------------------------------------------------

bool CExecuteProgressPage::CanClose() {
    if (Running == 0) return true;
    AskUser(this, "Convering is executing, please don't close.", MessageIcon::Warning, MessageButtons::Ok);
    return false;
}

void CExecuteProgressPage::OnCommand(int id) {
    if (id != kCmdNext) {
        CBasePage::OnCommand(id);
        return;
    }
    // 1. Finished: Next reads "Finish !" and leads home.
    if (Started != 0) {
        Frame()->Pages().GoHome();
        return;
    }
    if (Running != 0) return;
    // 2. Running; the row waits.
    Running = 1;
    Back()->setEnabled(false);
    Next()->setEnabled(false);
    // 3. The NTFS to FAT32 worker with the bar shown.
    if (ToFat32 != 0) {
        ProgressBar->show();
        update(NoteRect());
        worker_ = std::thread(&CExecuteProgressPage::ConvertThread, this);
    } else {
        // 4. The FAT to NTFS worker with its job, which it frees.
        worker_ = std::thread(ConvertToNtfsThread, std::make_unique<NtfsJob>(NtfsJob{this, DriveLetter}));
    }
    Started = 1;
}

bool CExecuteProgressPage::event(QEvent* e) {
    if (e->type() == ConvertDoneEvent::kType) {
        OnConvertDone(std::move(static_cast<ConvertDoneEvent*>(e)->Failure));
        return true;
    }
    return CBasePage::event(e);
}

void CExecuteProgressPage::OnConvertDone(std::unique_ptr<SimpleException> failure) {
    if (worker_.joinable()) worker_.join();  // it posted as its last act
    if (failure) {
        // 1. Failure: the message, then the bar back to 0.
        AskUser(this, FromU16(failure->Text()), MessageIcon::Information, MessageButtons::Ok);
        shownPosition_ = 0;
        ProgressBar->setValue(0);
        update(ElapsedRect());
    } else {
        // 2. Success: the question, and on Yes the volume's folder.
        update(ElapsedRect());
        if (AskUser(this, "Conversion successful. Do you want to open the converted volume?", MessageIcon::Question,
                    MessageButtons::YesNo) == MessageAnswer::Yes) {
            if (Opener()) {
                Opener()(this, DriveLetter);
            } else {
                OpenConvertedVolume(this, DriveLetter);
            }
        }
    }
    // 3. Finished.
    Running = 0;
    Back()->setEnabled(true);
    Next()->setEnabled(true);
    Next()->setText(kFinishCaption);
    Next()->setToolTip("The converting is end, clicking return to start page.");
}

void CExecuteProgressPage::timerEvent(QTimerEvent* e) {
    if (e->timerId() != timerId_) {
        CBasePage::timerEvent(e);
        return;
    }
    NowTime = NowSeconds();
    update(ElapsedRect());
}

void CExecuteProgressPage::SetTimes(int64_t startTime, int64_t nowTime) {
    StartTime = startTime;
    NowTime = nowTime;
    update(ElapsedRect());
}

// ---- Layout and painting ---------------------------------------------------------------------

void CExecuteProgressPage::resizeEvent(QResizeEvent* e) {
    CBasePage::resizeEvent(e);
    const int cx = width(), cy = height(), w = sidePicture_.width();
    Buttons.Layout(cx, cy);
    HeaderBand->Layout(cx);
    const int headerBottom = HeaderBand->height();
    DetailsBox->setGeometry(w + 8, headerBottom + 6, cx - w - 14, cy - headerBottom - 132);
    ProgressBar->setGeometry(6, cy - 120, cx - 12, 29);
}

QRect CExecuteProgressPage::ElapsedRect() const {
    const QRect bar = ProgressBar->geometry();
    return QRect(QPoint(bar.left(), bar.bottom() + 1 + 6), QPoint(bar.right(), bar.bottom() + 1 + 22 - 1));
}

QRect CExecuteProgressPage::StatusRect() const {
    const QRect bar = ProgressBar->geometry();
    return QRect(QPoint(bar.left(), bar.bottom() + 1 + 22), QPoint(bar.right(), bar.bottom() + 1 + 63 - 1));
}

QRect CExecuteProgressPage::NoteRect() const {
    const QRect box = DetailsBox->geometry();
    return QRect(QPoint(6, box.bottom() + 1 + 16), QPoint(box.right(), box.bottom() + 1 + 92 - 1));
}

int CExecuteProgressPage::BarPosition() const { return ProgressBar->value(); }
bool CExecuteProgressPage::BarVisible() const { return ProgressBar->isVisible(); }
QString CExecuteProgressPage::DetailsText() const { return DetailsBox->toPlainText(); }
bool CExecuteProgressPage::DetailsScrolledToEnd() const {
    const QScrollBar* bar = DetailsBox->verticalScrollBar();
    return bar->value() == bar->maximum();
}

QStringList CExecuteProgressPage::NoteLines() const {
    if (ToFat32 == 0) {
        // Our converter (velundra-tontfs) does the work; the NTFS cluster is the largest power
        // of two up to the FAT cluster and 64 KiB that divides the data area's offset
        // (fattontfs/NtfsPlan.h).
        return {"Note:", "    Convert FAT/FAT32 to NTFS using velundra-tontfs, the converter installed with Velundra.",
                "    NTFS clusters: the FAT cluster size (at most 64 KB), halved until it divides the data area's offset."};
    }
    if (Started == 0) return {"Note:", "The volume cannot be accessed when it is being converted."};
    return {};
}

QString CExecuteProgressPage::NextCaption() const { return Next()->text(); }

QString CExecuteProgressPage::StatusLine() {
    std::lock_guard<std::mutex> lock(TextLock);
    return FromU16(StatusText);
}

QString CExecuteProgressPage::ElapsedLine() const {
    if (ToFat32 == 0 || Started == 0) return {};
    return ElapsedText(NowTime - StartTime, ProgressBar->value());
}

void CExecuteProgressPage::paintEvent(QPaintEvent* e) {
    // Qt paints into the window's back buffer, so nothing flickers; only the area asked for
    // is painted, because the bar and the elapsed line ask for a repaint on every percent.
    const QColor background(231, 235, 239);
    QPainter p(this);
    p.setClipRegion(e->region());
    p.fillRect(e->rect(), background);
    p.setFont(pageFont_);
    p.setPen(Qt::black);

    // 2. Status line, top-left, one line.
    p.drawText(StatusRect(), Qt::AlignLeft | Qt::AlignTop | Qt::TextSingleLine, StatusLine());
    // 3. Elapsed time and total progress.
    p.drawText(ElapsedRect(), Qt::AlignLeft | Qt::AlignTop | Qt::TextSingleLine, ElapsedLine());

    // 4. Five one-pixel rectangles around the details box, innermost first.
    PaintBoxFrame(p, DetailsBox->geometry());

    // 5. The note area.
    p.setPen(Qt::black);
    const QRect note = NoteRect();
    auto line = [&](int dy, const QString& text) {
        p.drawText(note.adjusted(0, dy, 0, 0), Qt::AlignLeft | Qt::AlignTop | Qt::TextSingleLine, text);
    };
    const QStringList notes = NoteLines();
    const int spacing = ToFat32 == 0 ? 19 : 29;
    for (int i = 0; i < notes.size(); ++i) line(i * spacing, notes[i]);

    // 6. The side picture.
    if (e->rect().intersects(QRect(QPoint(2, 52), sidePicture_.size()))) p.drawPixmap(2, 52, sidePicture_);
}

// ---- Opening the converted volume ------------------------------------------------------------

void OpenConvertedVolume(QWidget* parent, char16_t driveLetter) {
    // 1. The volume behind the letter, and where it is mounted now.
    const std::optional<platform::DriveEntry> drive =
        driveLetter < 0x80 ? platform::LookupDrive(static_cast<char>(driveLetter)) : std::nullopt;
    if (!drive) {
        AskUser(parent, QString("The volume %1: is no longer present, so it cannot be opened.").arg(QChar(driveLetter)),
                MessageIcon::Information);
        return;
    }
    const QString device = QString::fromStdString(drive->devicePath);
    // 2. Not mounted (the conversion unmounted it, or it never was): mount it through udisks,
    //    which the desktop's file manager also uses.
    std::vector<std::string> mountPoints = platform::MountPointsOf(drive->devicePath);
    if (mountPoints.empty()) mountPoints = platform::MountThroughUdisks(drive->devicePath);
    if (mountPoints.empty()) {
        LogWarnA("The converted volume %s could not be mounted.", drive->devicePath.c_str());
        AskUser(parent, QString("The converted volume %1 could not be mounted, so it cannot be opened.").arg(device),
                MessageIcon::Information);
        return;
    }
    // 3. Its folder in the file manager, as the user at the desktop.
    int error = 0;
    if (!platform::OpenForUser(mountPoints.front(), &error)) {
        LogWarnA("Opening %s failed: %s.", mountPoints.front().c_str(), std::strerror(error));
        AskUser(parent,
                QString("The converted volume %1 is mounted at %2, but its folder could not be opened.")
                    .arg(device, QString::fromStdString(mountPoints.front())),
                MessageIcon::Information);
    }
}
