// The conversion page: the last page of the wizard. It shows the chosen volume's details,
// waits for Convert, runs the conversion on one worker thread, shows the bar, the status
// line and the elapsed time while it runs, and ends with a message box.
//
// States: Ready (Started 0, Running 0, Next reads "Convert >"), Running (buttons disabled,
// the main window refuses to close), Finished (Next reads "Finish !" and leads home; Back
// leads to the refreshed volume list). A page converts once and is never reused.
//
// Threads: the page lives on the user-interface thread. The worker of the NTFS to FAT32
// module (ConvertThread) calls only SetProgress and SetStatusText, asks its one question
// through a blocking call to the user-interface thread, starts and stops the elapsed-time
// timer the same way, and hands its outcome over as a posted ConvertDoneEvent, after which it
// touches the page no more. In the FAT to NTFS module (app/ConvertToNtfsThread.h) the reader
// thread reads VolumeLabel and calls AppendOutput; its worker only posts the outcome.
#pragma once

#include <QEvent>
#include <QPixmap>
#include <QString>
#include <QStringList>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "app/CMainFrame.h"
#include "device/ProgressInforAssist.h"

class CQuillFlatButton;
class QProgressBar;
class QTextEdit;
class QTimer;

// The worker's outcome (the design's window message 0x0D01): null on success, else the
// failure, owned by the event and then by the page that receives it.
class ConvertDoneEvent : public QEvent {
public:
    static constexpr QEvent::Type kType = static_cast<QEvent::Type>(0x0D01);  // WM_CONVERT_DONE
    explicit ConvertDoneEvent(std::unique_ptr<SimpleException> failure)
        : QEvent(kType), Failure(std::move(failure)) {}
    std::unique_ptr<SimpleException> Failure;
};

// Timer id of the elapsed-time display (one tick per second while the engine runs).
constexpr int kElapsedTimerId = 10502;

// Opens the root folder of a converted volume in the user's file manager (mounting it
// through udisks first where it is not mounted) and tells the user, naming the device, when
// that cannot be done. Replaceable for tests.
using VolumeOpener = std::function<void(QWidget* parent, char16_t driveLetter)>;
void OpenConvertedVolume(QWidget* parent, char16_t driveLetter);
void SetVolumeOpener(VolumeOpener opener);  // empty: OpenConvertedVolume again

class CExecuteProgressPage : public CBasePage, public IProgressInfor {
public:
    // The volume as listed. The module (NTFS to FAT32 when the frame's Module is 0) is taken
    // from the frame. Creates every child window (the bar hidden).
    CExecuteProgressPage(CMainFrame* frame, char16_t driveLetter, const std::u16string& volumeLabel,
                         uint64_t totalBytes, uint64_t freeBytes);
    // Waits for a worker that has not finished yet (it has, whenever the page can be closed).
    ~CExecuteProgressPage() override;

    // While Running: shows "Convering is executing, please don't close." and answers false.
    bool CanClose() override;
    void OnCommand(int id) override;

    // Progress sink (worker thread). The bar shows f x 100 truncated (0.999 shows 99); the
    // bar is set by a blocking call to the user-interface thread only when that integer
    // changes, so the engine is not slowed by the wizard.
    void SetProgress(float f) override;
    // Stores the status line under TextLock (null is empty) and asks for a repaint of it.
    void SetStatusText(const char16_t* text) override;

    // The FAT to NTFS module's output (reader thread): the text goes at the end of the
    // details box by a blocking call to the user-interface thread, then a posted request
    // scrolls the box to its bottom.
    void AppendOutput(const QString& text);

    // For tests and the screenshots: the state and what the page shows.
    bool IsStarted() const { return Started != 0; }
    bool IsRunning() const { return Running != 0; }
    int BarPosition() const;
    bool BarVisible() const;
    QString StatusLine();
    QString ElapsedLine() const;
    QString DetailsText() const;
    // The note lines under the details box (the FAT to NTFS module's three lines; in the
    // other module "Note:" and its line before Convert, nothing after).
    QStringList NoteLines() const;
    // Whether the details box shows its last line.
    bool DetailsScrolledToEnd() const;
    QString NextCaption() const;
    CQuillFlatButton* Next() const { return Buttons.Button(CWizardBtnGroup::Next); }
    CQuillFlatButton* Back() const { return Buttons.Button(CWizardBtnGroup::Back); }
    // Sets the two clock readings as the timer would (tests of the elapsed line).
    void SetTimes(int64_t startTime, int64_t nowTime);

    // The details box's text for a volume (the module title first).
    static QString DetailsFor(bool toFat32, char16_t driveLetter, const std::u16string& label, uint64_t totalBytes,
                              uint64_t freeBytes);
    // "Elapsed Time: HH:MM:SS        Total Progress: N%" for a number of elapsed seconds; the
    // hours wrap after 24.
    static QString ElapsedText(int64_t seconds, int position);

protected:
    bool event(QEvent* e) override;
    void timerEvent(QTimerEvent* e) override;
    void resizeEvent(QResizeEvent* e) override;
    void paintEvent(QPaintEvent* e) override;

private:
    // The worker of the NTFS to FAT32 module; see the .cpp for its steps.
    void ConvertThread();
    void OnConvertDone(std::unique_ptr<SimpleException> failure);
    // Runs fn on the user-interface thread and waits for it (directly when already there).
    void OnUiThread(const std::function<void()>& fn);
    // The areas the page paints itself, for the current size.
    QRect ElapsedRect() const;
    QRect StatusRect() const;
    QRect NoteRect() const;

public:
    // The volume and the state, as the worker and the painting use them.
    const char16_t DriveLetter;
    const std::u16string VolumeLabel;
    const uint64_t TotalBytes;
    const uint64_t FreeBytes;
    int Running = 0;        // user-interface thread only
    std::mutex TextLock;    // guards StatusText

private:
    QFont pageFont_;
    QPixmap sidePicture_;
    CDlgHeader* HeaderBand;
    CWizardBtnGroup Buttons;
    QTextEdit* DetailsBox;
    QProgressBar* ProgressBar;
    int64_t StartTime = 0;  // seconds since 1970, set on the user-interface thread
    int64_t NowTime = 0;
    std::u16string StatusText;
    int Started = 0;
    const int ToFat32;

    std::atomic<int> shownPosition_{0};  // the bar's integer position as last set
    int timerId_ = 0;                    // the running Qt timer standing for timer 10502
    std::thread worker_;
};
