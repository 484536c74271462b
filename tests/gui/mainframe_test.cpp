// The wizard's frame, page stack, start page, header band and button row under the offscreen
// platform: real widgets, real mouse events, pixels read back from what the widgets paint.
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include <QApplication>
#include <QFontInfo>
#include <QImage>
#include <QPointer>
#include <QScreen>
#include <QTest>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "app/AppInfo.h"
#include "app/CMainFrame.h"
#include "tests/gui/support/SpinUntil.h"
#include "app/MessageSeam.h"
#include "controls/CHyperLink.h"
#include "controls/CQuillFlatButton.h"
#include "tests/support/Command.h"

namespace {

using testsupport::ReadFileBytes;
using testsupport::TempDir;
using testsupport::WriteFileBytes;

std::unique_ptr<CMainFrame> ShownFrame() {
    // A module page may tell that it found no volume; that box is answered, not shown.
    SetMessageAnswerer([](const MessageQuestion&) { return MessageAnswer::Ok; });
    auto frame = std::make_unique<CMainFrame>();
    frame->setWindowTitle(QStringLiteral("Velundra test"));
    frame->show();
    EXPECT_TRUE(QTest::qWaitForWindowExposed(frame.get()));
    return frame;
}

// Resizes the frame's client area and waits for the window system to apply it.
void ResizeClient(CMainFrame* frame, int cx, int cy) {
    frame->resize(cx, cy);
    ASSERT_TRUE(SpinUntil([&] { return frame->size() == QSize(cx, cy); })) << cx << "x" << cy;
}

CHomePage* Home(CMainFrame* frame) { return static_cast<CHomePage*>(frame->Pages().At(0)); }

// A page that writes down what happens to it.
class ProbePage : public CBasePage {
public:
    ProbePage(CMainFrame* frame, std::vector<std::string>* events, std::string name, bool allowClose = true)
        : CBasePage(frame), Events(events), Name(std::move(name)), AllowClose(allowClose) {}
    ~ProbePage() override {
        const QCursor* cursor = QApplication::overrideCursor();
        const bool busy = cursor && cursor->shape() == Qt::WaitCursor;
        Events->push_back(Name + (busy ? " destroyed busy" : " destroyed"));
    }
    bool CanClose() override {
        Events->push_back(Name + " asked");
        return AllowClose;
    }
    void OnReactivate() override { Events->push_back(Name + " reactivated"); }

private:
    std::vector<std::string>* Events;
    std::string Name;
    bool AllowClose;
};

void ExpectColor(const QImage& image, int x, int y, QColor expected, int tolerance = 0) {
    const QColor got = image.pixelColor(x, y);
    EXPECT_NEAR(got.red(), expected.red(), tolerance) << "at " << x << "," << y;
    EXPECT_NEAR(got.green(), expected.green(), tolerance) << "at " << x << "," << y;
    EXPECT_NEAR(got.blue(), expected.blue(), tolerance) << "at " << x << "," << y;
}

CQuillFlatButton* ButtonWithCaption(QWidget* page, const QString& caption) {
    for (CQuillFlatButton* b : page->findChildren<CQuillFlatButton*>())
        if (b->text() == caption) return b;
    return nullptr;
}

// Clicks a module button and waits for the module's page.
CBasePage* ChooseModule(CMainFrame* frame, int module) {
    const int before = frame->Pages().Count();
    QTest::mouseClick(Home(frame)->ModuleButton(module), Qt::LeftButton);
    SpinUntil([&] { return frame->Pages().Count() == before + 1; });
    return frame->Pages().Count() == before + 1 ? frame->Pages().Top() : nullptr;
}

}  // namespace

TEST(MainFrame, StartsWithTheStartPageAtTheMinimumClientSizeAndCannotShrink) {
    auto frame = ShownFrame();
    EXPECT_EQ(frame->minimumSize(), QSize(602, 453));
    EXPECT_EQ(frame->size(), QSize(602, 453));
    ASSERT_EQ(frame->Pages().Count(), 1);
    EXPECT_NE(dynamic_cast<CHomePage*>(frame->Pages().Top()), nullptr);
    EXPECT_EQ(frame->Pages().Top()->geometry(), QRect(0, 0, 602, 453));
    EXPECT_FALSE(frame->windowIcon().isNull());
    frame->resize(400, 300);
    QTest::qWait(50);
    EXPECT_EQ(frame->size(), QSize(602, 453));
    // Tahoma is the face the pages draw with, when the font package is installed.
    struct stat st {};
    if (stat("/usr/share/wine/fonts/tahoma.ttf", &st) == 0) {
        EXPECT_EQ(QFontInfo(TahomaFont(11, 400)).family(), QStringLiteral("Tahoma"));
        // The links' demibold comes from the bold face, not a synthesised one.
        const QFontInfo link(TahomaFont(11, 600));
        EXPECT_EQ(link.family(), QStringLiteral("Tahoma"));
        EXPECT_GE(link.weight(), 600) << link.styleName().toStdString();
    }
}

TEST(MainFrame, PushBackAndHomeSizeRevealAndReallyDestroyThePages) {
    std::vector<std::string> events;  // outlives the pages, which write to it
    auto frame = ShownFrame();
    ResizeClient(frame.get(), 700, 500);
    ModelController& pages = frame->Pages();
    CBasePage* home = pages.Top();

    QPointer<CBasePage> list = new ProbePage(frame.get(), &events, "list");
    pages.PushPage(list);
    EXPECT_FALSE(home->isVisible());
    EXPECT_EQ(list->geometry(), QRect(0, 0, 700, 500));
    QPointer<CBasePage> convert = new ProbePage(frame.get(), &events, "convert");
    pages.PushPage(convert);
    EXPECT_FALSE(list->isVisible());
    ASSERT_EQ(pages.Count(), 3);

    // Back: the list is fitted to a client area that changed meanwhile, told, shown; the
    // conversion page is gone, destroyed under the wait cursor, which is restored after.
    ResizeClient(frame.get(), 800, 560);
    pages.GoBack();
    EXPECT_TRUE(convert.isNull());
    ASSERT_FALSE(list.isNull());
    EXPECT_TRUE(list->isVisible());
    EXPECT_EQ(list->geometry(), QRect(0, 0, 800, 560));
    EXPECT_EQ(events, (std::vector<std::string>{"list reactivated", "convert destroyed busy"}));
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);

    // Home from three pages: the start page shows, both others are destroyed, top first.
    convert = new ProbePage(frame.get(), &events, "convert");
    pages.PushPage(convert);
    events.clear();
    pages.GoHome();
    EXPECT_TRUE(list.isNull());
    EXPECT_TRUE(convert.isNull());
    ASSERT_EQ(pages.Count(), 1);
    EXPECT_EQ(pages.Top(), home);
    EXPECT_TRUE(home->isVisible());
    EXPECT_EQ(events, (std::vector<std::string>{"convert destroyed busy", "list destroyed busy"}));
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);

    // The start page is never taken away.
    pages.GoBack();
    pages.GoHome();
    EXPECT_EQ(pages.Count(), 1);

    // The frame destroys what is left on its stack.
    QPointer<CBasePage> left = new ProbePage(frame.get(), &events, "left");
    pages.PushPage(left);
    frame.reset();
    EXPECT_TRUE(left.isNull());
}

TEST(MainFrame, ClosingAsksTheTopPageOnly) {
    struct Case {
        bool BottomAllows;
        bool TopAllows;
        bool Closes;
    };
    for (const Case& c : {Case{true, false, false}, Case{false, true, true}, Case{true, true, true}}) {
        std::vector<std::string> events;  // outlives the pages, which write to it
        auto frame = ShownFrame();
        frame->Pages().PushPage(new ProbePage(frame.get(), &events, "bottom", c.BottomAllows));
        frame->Pages().PushPage(new ProbePage(frame.get(), &events, "top", c.TopAllows));
        EXPECT_EQ(frame->close(), c.Closes);
        EXPECT_EQ(frame->isVisible(), !c.Closes);
        ASSERT_FALSE(events.empty());
        EXPECT_EQ(events.front(), "top asked");
        EXPECT_EQ(std::count(events.begin(), events.end(), "bottom asked"), 0);
    }
}

TEST(MainFrame, StartPageLayoutAtTwoClientSizes) {
    auto frame = ShownFrame();
    for (QSize client : {QSize(602, 453), QSize(803, 611)}) {
        ResizeClient(frame.get(), client.width(), client.height());
        CHomePage* home = Home(frame.get());
        ASSERT_EQ(home->geometry(), QRect(QPoint(0, 0), client));
        const int cx = client.width();
        const int cy = client.height();
        const int first = cx / 2 - 219;
        EXPECT_EQ(home->ModuleButton(0)->geometry(), QRect(first, 192, 215, 129)) << cx;
        EXPECT_EQ(home->ModuleButton(1)->geometry(), QRect(first + 224, 192, 215, 129)) << cx;

        // Links sized to their text in the demibold 11-pixel face, in one row at cy - 50.
        const std::vector<CHyperLink*> links = {home->WebsiteLink(), home->UpdateLink(), home->HelpLink()};
        const QFontMetrics fm(TahomaFont(11, 600));
        int total = 0;
        for (CHyperLink* link : links) {
            EXPECT_EQ(link->width(), fm.horizontalAdvance(link->Text()));
            EXPECT_TRUE(link->font().underline());
            total += link->width();
        }
        int x = (cx - total - 36) / 2;
        for (CHyperLink* link : links) {
            EXPECT_EQ(link->pos(), QPoint(x, cy - 50)) << link->Text().toStdString() << " at " << cx;
            x += link->width() + 18;
        }
    }
}

TEST(MainFrame, ModulePagesCarryTheButtonRowAndBackDestroysThem) {
    struct Case {
        int Module;
        const char* Title;
        bool BackByKey;  // leave with Alt+B, the Back button's mnemonic, instead of a click
    };
    auto frame = ShownFrame();
    for (const Case& c : {Case{kModuleNtfsToFat32, "Convert NTFS to FAT32", false},
                          Case{kModuleFatToNtfs, "Convert FAT to NTFS", true}}) {
        QPointer<CBasePage> page = ChooseModule(frame.get(), c.Module);
        ASSERT_FALSE(page.isNull());
        EXPECT_EQ(frame->Module(), c.Module);
        CDlgHeader* header = page->findChild<CDlgHeader*>();
        ASSERT_NE(header, nullptr);
        EXPECT_EQ(header->Title(), QString::fromLatin1(c.Title));

        for (QSize client : {QSize(602, 453), QSize(811, 640)}) {
            ResizeClient(frame.get(), client.width(), client.height());
            const int cx = client.width();
            const int cy = client.height();
            EXPECT_EQ(header->geometry(), QRect(0, 0, cx, 50));
            struct Row {
                const char* Caption;
                int X;
                const char* Tooltip;
                const char* Mnemonic;
            };
            // The volume list's Next analyses the selected volume.
            for (const Row& r : {Row{"&Next >", cx - 105, "To analyze the selected volume.", "Alt+N"},
                                 Row{"< &Back", cx - 182, "Return to previous step.", "Alt+B"},
                                 Row{"&Help", 6, "", "Alt+H"},
                                 Row{"&Website", 83, "To visit our website home page.", "Alt+W"},
                                 Row{"&Update", 160, "", "Alt+U"}}) {
                CQuillFlatButton* b = ButtonWithCaption(page, QString::fromLatin1(r.Caption));
                ASSERT_NE(b, nullptr) << r.Caption;
                EXPECT_EQ(b->geometry(), QRect(r.X, cy - 36, 75, 24)) << r.Caption << " at " << cx << "x" << cy;
                EXPECT_EQ(b->toolTip(), QString::fromLatin1(r.Tooltip)) << r.Caption;
                EXPECT_EQ(b->shortcut(), QKeySequence(QString::fromLatin1(r.Mnemonic))) << r.Caption;
                EXPECT_EQ(b->font().pixelSize(), 11);
            }
        }
        ResizeClient(frame.get(), 602, 453);

        if (c.BackByKey) {
            frame->activateWindow();
            QTest::keyClick(frame.get(), Qt::Key_B, Qt::AltModifier);
        } else {
            QTest::mouseClick(ButtonWithCaption(page, QStringLiteral("< &Back")), Qt::LeftButton);
        }
        EXPECT_TRUE(SpinUntil([&] { return page.isNull(); }));
        EXPECT_EQ(frame->Pages().Count(), 1);
        EXPECT_TRUE(Home(frame.get())->isVisible());
    }
}

TEST(MainFrame, DescriptionBandFollowsTheMouse) {
    auto frame = ShownFrame();
    CHomePage* home = Home(frame.get());
    const QRect band = CHomePage::DescriptionBand(home->width());
    // What the window shows (the offscreen screen hands out the window's back buffer), so
    // that a band left unrepainted on entering or leaving would show its old text.
    auto bandImage = [&] {
        QTest::qWait(30);
        return frame->screen()->grabWindow(frame->winId(), band.x(), band.y(), band.width(), band.height()).toImage();
    };

    QTest::mouseMove(home, QPoint(300, 100));
    QTest::qWait(20);
    const QImage idle = bandImage();
    EXPECT_EQ(home->Description(), QStringLiteral("Choose a module to start converting:"));

    const char* texts[] = {"Convert NTFS to FAT32 fast and safely without losing data",
                           "Convert FAT32 to NTFS with Velundra's own disk tool velundra-tontfs"};
    for (int module = 0; module < 2; ++module) {
        QTest::mouseMove(home, home->ModuleButton(module)->geometry().center());
        EXPECT_TRUE(SpinUntil([&] { return home->Description() == QString::fromLatin1(texts[module]); }))
            << module << ": " << home->Description().toStdString();
        EXPECT_NE(bandImage(), idle);
        QTest::mouseMove(home, QPoint(300, 100));
        EXPECT_TRUE(SpinUntil([&] { return home->Description() == QStringLiteral("Choose a module to start converting:"); }));
        EXPECT_EQ(bandImage(), idle);
    }
}

TEST(MainFrame, StartPageHeaderAndButtonRowColours) {
    auto frame = ShownFrame();
    CHomePage* home = Home(frame.get());
    const QImage start = home->grab().toImage();
    for (int x : {0, 300, 601}) {
        ExpectColor(start, x, 2, QColor(51, 51, 51));
        ExpectColor(start, x, 63, QColor(51, 51, 51));
        ExpectColor(start, x, 64, QColor(28, 38, 47));
        ExpectColor(start, x, 65, QColor(227, 237, 249));
        ExpectColor(start, x, 450, QColor(227, 237, 249));
    }
    ExpectColor(start, 300, 180, QColor(227, 237, 249));
    const QPoint link = home->WebsiteLink()->pos();
    ExpectColor(start, link.x(), link.y(), QColor(227, 234, 249));
    // The description is drawn in black somewhere in its band.
    bool black = false;
    for (int y = 135; y < 165 && !black; ++y)
        for (int x = 0; x < 602 && !black; ++x) black = start.pixelColor(x, y) == QColor(Qt::black);
    EXPECT_TRUE(black);

    CBasePage* page = ChooseModule(frame.get(), kModuleNtfsToFat32);
    ASSERT_NE(page, nullptr);
    const QImage module = page->grab().toImage();
    ExpectColor(module, 300, 0, QColor(171, 190, 211), 1);
    ExpectColor(module, 590, 48, QColor(235, 240, 244), 2);
    ExpectColor(module, 300, 49, QColor(182, 186, 191));
    CQuillFlatButton* next = ButtonWithCaption(page, QStringLiteral("&Next >"));
    ASSERT_NE(next, nullptr);
    const QPoint face = next->pos() + QPoint(3, 0);
    ExpectColor(module, face.x(), face.y() + 1, QColor(245, 246, 248), 2);
    ExpectColor(module, face.x(), face.y() + 22, QColor(231, 234, 239), 2);
}

TEST(MainFrame, LinksAndSharedButtonsOpenTheirAddresses) {
    TempDir dir("opener");
    const std::string log = dir.File("opened.txt");
    WriteFileBytes(dir.File("xdg-open"), "#!/bin/sh\necho \"$1\" >> '" + log + "'\n");
    chmod(dir.File("xdg-open").c_str(), 0755);
    const std::string path = dir.Path() + ":" + std::getenv("PATH");
    setenv("PATH", path.c_str(), 1);

    auto frame = ShownFrame();
    CHomePage* home = Home(frame.get());
    std::vector<std::string> expected;
    auto click = [&](QWidget* target, const char* url) {
        QTest::mouseClick(target, Qt::LeftButton, {}, QPoint(2, 2));
        expected.push_back(url);
        std::string want;
        for (const std::string& e : expected) want += e + "\n";
        EXPECT_TRUE(SpinUntil([&] { return access(log.c_str(), R_OK) == 0 && ReadFileBytes(log) == want; }))
            << "after " << url;
    };
    click(home->WebsiteLink(), kHomePageUrl);
    click(home->UpdateLink(), kUpdatePageUrl);
    click(home->HelpLink(), kHelpPageUrl);
    CBasePage* page = ChooseModule(frame.get(), kModuleFatToNtfs);
    ASSERT_NE(page, nullptr);
    click(ButtonWithCaption(page, QStringLiteral("&Website")), kHomePageUrl);
    click(ButtonWithCaption(page, QStringLiteral("&Help")), kHelpPageUrl);
    click(ButtonWithCaption(page, QStringLiteral("&Update")), kUpdatePageUrl);
}
