// The wizard's window: one top-level frame showing the top page of a page stack.
//
//  - CMainFrame: the frame. It owns the page stack, starts it with the start page, keeps a
//    client area of at least 602 x 453 and closes only when the top page allows it.
//  - ModelController: the page stack, bottom (the start page) first. It owns the pages.
//  - CBasePage: what every page is: it may refuse the frame's closing, hears when it is the
//    top page again, and handles the commands of the button row every page shares.
//  - CHomePage: the start page, where the user picks a module.
//  - CWizardBtnGroup: the row of five buttons (Help, Website, Update, Back, Next) at the
//    bottom of the later pages.
//  - CDlgHeader: the 50-pixel band with a title and a subtitle at the top of the later pages.
//
// Threads: everything here lives on the user-interface thread.
#pragma once

#include <array>
#include <memory>
#include <vector>

#include <QFont>
#include <QIcon>
#include <QPixmap>
#include <QPointer>
#include <QWidget>

#include "controls/CPictureButton.h"

class CHyperLink;
class CMainFrame;
class CQuillFlatButton;
class QAbstractButton;

// Commands of the buttons and links. A page's buttons deliver them to CBasePage::OnCommand.
inline constexpr int kCmdWebsite = 7001;        // open the home page
inline constexpr int kCmdBack = 7002;           // back to the page below
inline constexpr int kCmdNext = 7003;           // each page's own next step
inline constexpr int kCmdHelp = 7004;           // open the help page
inline constexpr int kCmdUpdate = 7005;         // open the update page
inline constexpr int kCmdModuleToFat32 = 132;   // start page: NTFS to FAT32
inline constexpr int kCmdModuleToNtfs = 133;    // start page: FAT to NTFS
inline constexpr int kCmdHelpLink = 49156;      // start page's Help link, same as kCmdHelp

// The modules the start page offers (CMainFrame::Module).
inline constexpr int kModuleNtfsToFat32 = 0;
inline constexpr int kModuleFatToNtfs = 1;

// "Tahoma" at a pixel size and weight (400 regular, 500 medium, 600 demibold). The face is
// the one the frame loads as an application font; before that, or where the file is
// missing, Qt substitutes its closest face.
QFont TahomaFont(int pixelSize, int weight);

// Registers the program's pictures and loads its fonts (both once per process) and returns
// the program's icon. The frame calls it; so does any other window of the program that
// shows the icon or the fonts without a frame (the crash report).
QIcon LoadProgramResources();

// Opens a web page or folder with the desktop's default program as the user at the desktop;
// a failure is logged as a warning. True when the opener was started.
bool OpenAddress(const QString& address);

// A picture of the program's resources (an SVG under :/resources/) rendered at its own size
// for the screen's pixel ratio of `widget` (null: 1). Null when the picture is missing.
QPixmap LoadPicture(const QString& name, const QWidget* widget = nullptr);

class CBasePage : public QWidget {
    Q_OBJECT
public:
    // The page is a child of the frame; the frame's page stack takes ownership when it is
    // pushed. It starts with a provisional size; PushPage gives it the real one and shows it.
    explicit CBasePage(CMainFrame* frame);
    ~CBasePage() override;

    // May the main window close now? Default: yes.
    virtual bool CanClose();
    // The page has become the top page again. Default: nothing.
    virtual void OnReactivate();
    // A command from one of the page's buttons or links. The base handles the shared ones
    // (Website, Back, Help, Update); a page handles its own and passes the rest on.
    virtual void OnCommand(int command);

    CMainFrame* Frame() const { return Frame_; }

    // Makes a click on `button` deliver `command`. Commands arrive from the event loop, not
    // from inside the click, because a command may destroy this page and the button with it.
    void BindCommand(QAbstractButton* button, int command);
    void BindCommand(CHyperLink* link, int command);
    // Delivers `command` to OnCommand from the event loop.
    void PostCommand(int command);

private:
    CMainFrame* Frame_;
};

class ModelController {
public:
    // `frame` is the window whose client area the pages fill.
    explicit ModelController(QWidget* frame) : Frame(frame) {}
    // Destroys the pages that are left, top first.
    ~ModelController();
    ModelController(const ModelController&) = delete;
    ModelController& operator=(const ModelController&) = delete;

    // Takes ownership of `page`: hides the current top page, sizes the new one to the
    // frame's client area and puts it on top.
    void PushPage(CBasePage* page);
    // Removes the top page: the page below is sized, told (OnReactivate), shown and painted
    // at once, then the old page is destroyed under the wait cursor. The start page is never
    // removed.
    void GoBack();
    // Back to the start page: it is sized, told, shown and painted, then every page above it
    // is destroyed, top first, under the wait cursor.
    void GoHome();

    // Sizes the top page to the frame's client area.
    void FitTop();

    CBasePage* Top() const { return Pages.empty() ? nullptr : Pages.back().get(); }
    int Count() const { return static_cast<int>(Pages.size()); }
    CBasePage* At(int index) const { return Pages.at(static_cast<size_t>(index)).get(); }

private:
    void Reveal(CBasePage* page);

    QWidget* Frame;
    std::vector<std::unique_ptr<CBasePage>> Pages;  // bottom first
};

class CMainFrame : public QWidget {
    Q_OBJECT
public:
    // The smallest client area, and the one the window starts with.
    static constexpr int kClientWidth = 602;
    static constexpr int kClientHeight = 453;

    // Loads the fonts (once per process), sets the program's icon and the minimum size, and
    // starts the page stack with the start page. The caller sets the title and shows it.
    explicit CMainFrame(QWidget* parent = nullptr);
    ~CMainFrame() override;

    ModelController& Pages() { return Controller; }

    // The module chosen on the start page (kModuleNtfsToFat32 or kModuleFatToNtfs).
    int Module() const { return Module_; }
    void SetModule(int module) { Module_ = module; }
    // "Convert NTFS to FAT32" or "Convert FAT to NTFS": the title the pages show.
    static QString ModuleTitle(int module);

    // Creates the volume list page for `filter` (1: NTFS volumes, 0: FAT and FAT32 volumes)
    // as a child of the frame, ready to be pushed.
    CBasePage* CreateVolumeListPage(int filter);

protected:
    void resizeEvent(QResizeEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    ModelController Controller;  // destroyed before the widget's children
    int Module_ = kModuleNtfsToFat32;
};

// The title band of the later pages: a gradient 50 pixels high with a line under it, the
// title and the subtitle on one line each.
class CDlgHeader : public QWidget {
    Q_OBJECT
public:
    static constexpr int kHeight = 50;

    explicit CDlgHeader(QWidget* parent);
    void SetTitle(const QString& title);
    void SetSubtitle(const QString& subtitle);
    QString Title() const { return Title_; }
    QString Subtitle() const { return Subtitle_; }
    // Places the band across the top of a page `cx` pixels wide.
    void Layout(int cx) { setGeometry(0, 0, cx, kHeight); }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QString Title_;
    QString Subtitle_;
    QFont TitleFont;
    QFont SubtitleFont;
};

// The five buttons at the bottom of the later pages, children of the page, each delivering
// its command to the page (CBasePage::BindCommand).
class CWizardBtnGroup {
public:
    enum Id { Next, Back, Website, Help, Update };
    static constexpr int kWidth = 75;
    static constexpr int kHeight = 24;

    explicit CWizardBtnGroup(CBasePage* page);

    // Places the row for a page of cx x cy: every top at cy - 36; Next 30 pixels from the
    // right edge and Back 2 pixels left of it; Help, Website, Update from the left.
    void Layout(int cx, int cy);

    CQuillFlatButton* Button(Id id) const { return Buttons[id]; }

private:
    std::array<CQuillFlatButton*, 5> Buttons{};  // owned by the page
};

// The start page: two module buttons with the description band above them, the header band
// with the program's picture, and the Website, Update and Help links at the bottom.
class CHomePage : public CBasePage {
    Q_OBJECT
public:
    explicit CHomePage(CMainFrame* frame);

    void OnCommand(int command) override;

    // The text the description band shows now.
    QString Description() const;
    // The band it is drawn in, across a page `cx` pixels wide.
    static QRect DescriptionBand(int cx) { return QRect(0, 135, cx, 30); }

    CPictureButton* ModuleButton(int module) const { return Modules[static_cast<size_t>(module)]; }
    CHyperLink* WebsiteLink() const { return Links[0]; }
    CHyperLink* UpdateLink() const { return Links[1]; }
    CHyperLink* HelpLink() const { return Links[2]; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void Layout(int cx, int cy);
    void SetHotModule(int module);
    void OpenModule(int module);

    QPixmap HeaderPicture;
    QPixmap ShadowPicture;
    std::array<CHyperLink*, 3> Links{};             // Website, Update, Help; owned as children
    std::array<CPictureButton*, 2> Modules{};       // owned as children
    QFont LinkFont;
    QFont TextFont;
    CPictureButtonTheme Theme;
    int HotModule = -1;                             // the module button under the mouse
    bool Painted = false;
};
