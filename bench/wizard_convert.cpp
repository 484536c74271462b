// The wizard's conversion page and volume list, driven without a user for bench/wizard.sh.
//
//   bench-wizard_convert convert LETTER   converts the drive LETTER through the conversion
//                                          page (Convert pressed, every message box answered:
//                                          Yes to the running-programs question, No to opening
//                                          the converted volume); prints "seconds STATUS" and
//                                          exits 0 when the status line reports success
//   bench-wizard_convert engine LETTER    the same conversion without the page: lock the volume,
//                                          run the engine with no progress sink, release;
//                                          prints "seconds"
//   bench-wizard_convert enumerate RUNS    builds the volume list of both modules RUNS times;
//                                          prints the mean milliseconds of one list and the
//                                          rows each module found
//
// The drive table is what VELUNDRA_DRIVES makes it. Runs on Qt's offscreen platform.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <QApplication>
#include <QThread>

#include "app/CExecuteProgressPage.h"
#include "app/CMainFrame.h"
#include "app/CVolumeListPage.h"
#include "app/MessageSeam.h"
#include "device/VolumePreparation.h"
#include "engine/ConvertNtfsToFat32.h"

namespace {

double Seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

int Convert(char letter) {
    SetMessageAnswerer([](const MessageQuestion& q) {
        if (q.Text.startsWith("Some programs is running")) return MessageAnswer::Yes;
        return q.Buttons == MessageButtons::YesNo ? MessageAnswer::No : MessageAnswer::Ok;
    });
    CMainFrame frame;
    frame.show();
    auto* page = new CExecuteProgressPage(&frame, static_cast<char16_t>(letter), u"", 0, 0);
    frame.Pages().PushPage(page);
    QCoreApplication::processEvents();
    const auto start = std::chrono::steady_clock::now();
    page->OnCommand(kCmdNext);
    // Sleep in the event loop as the wizard's own loop does (the overload with a time limit
    // never waits: it would spin and take a core from the worker).
    while (!(page->IsStarted() && !page->IsRunning())) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    const double seconds = Seconds(start);
    const QString status = page->StatusLine();
    std::printf("%.2f %s\n", seconds, status.toUtf8().constData());
    return status == "Converting NTFS to FAT32 is successful." ? 0 : 1;
}

int Engine(char letter) {
    const auto start = std::chrono::steady_clock::now();
    const platform::VolumeHandle handle = LockVolume(static_cast<char16_t>(letter), [](const char16_t*) { return true; });
    if (handle == platform::kInvalidVolume) {
        std::fprintf(stderr, "the volume %c: cannot be locked\n", letter);
        return 1;
    }
    int rc = 0;
    try {
        ConvertNtfsToFat32(nullptr, handle);
    } catch (const SimpleException& e) {
        std::fprintf(stderr, "%s\n", QString::fromStdU16String(e.Text()).toUtf8().constData());
        rc = 1;
    }
    ReleaseVolume(handle);
    std::printf("%.2f\n", Seconds(start));
    return rc;
}

int Enumerate(int runs) {
    int rows[2] = {0, 0};
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < runs; ++i)
        for (int filter : {kFilterNtfs, kFilterFat}) rows[filter] = CVolumeListModel::Enumerate(filter)->GetRowCount();
    std::printf("%.1f ms per list; NTFS rows %d, FAT rows %d\n", Seconds(start) * 1000.0 / (2.0 * runs),
                rows[kFilterNtfs], rows[kFilterFat]);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s convert LETTER | engine LETTER | enumerate RUNS\n", argv[0]);
        return 2;
    }
    if (!std::getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);
    if (std::strcmp(argv[1], "convert") == 0 && std::strlen(argv[2]) == 1) return Convert(argv[2][0]);
    if (std::strcmp(argv[1], "engine") == 0 && std::strlen(argv[2]) == 1) return Engine(argv[2][0]);
    if (std::strcmp(argv[1], "enumerate") == 0) return Enumerate(std::max(1, std::atoi(argv[2])));
    std::fprintf(stderr, "usage: %s convert LETTER | engine LETTER | enumerate RUNS\n", argv[0]);
    return 2;
}
