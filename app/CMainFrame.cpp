#include "app/CMainFrame.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <QApplication>
#include <QCloseEvent>
#include <QFontDatabase>
#include <QIcon>
#include <QLinearGradient>
#include <QPainter>
#include <QSvgRenderer>

#include "app/AppInfo.h"
#include "app/CVolumeListPage.h"
#include "controls/CHyperLink.h"
#include "controls/CQuillFlatButton.h"
#include "device/Log.h"
#include "platform/ShellOpen.h"

// The pictures are compiled into the static library; registering them must happen outside
// any namespace.
static void RegisterPictures() { Q_INIT_RESOURCE(velundra_pictures); }

namespace {

// Where Debian's fonts-wine keeps Tahoma, regular and bold.
constexpr const char* kTahomaFiles[] = {"/usr/share/wine/fonts/tahoma.ttf",
                                        "/usr/share/wine/fonts/tahomabd.ttf"};

// Start page colours.
const QColor kBandColor(51, 51, 51);
const QColor kBandLineColor(28, 38, 47);
const QColor kBodyColor(227, 237, 249);
const QColor kLinkColor(58, 65, 68);
const QColor kLinkHotColor(100, 105, 110);
const QColor kLinkBackground(227, 234, 249);

// Header band colours and text places.
const QColor kHeaderTop(171, 190, 211);
const QColor kHeaderBottom(235, 240, 244);
const QColor kHeaderLine(182, 186, 191);
const QColor kHeaderTitle(32, 36, 40);
const QColor kHeaderSubtitle(120, 130, 140);

// Start page geometry.
constexpr int kModuleWidth = 215;
constexpr int kModuleHeight = 129;
constexpr int kModuleTop = 192;
constexpr int kModuleLeftOfCentre = 219;
constexpr int kModuleStep = 224;
constexpr int kLinksAboveBottom = 50;
constexpr int kLinkGap = 18;
constexpr int kBandHeight = 64;

// Loads the Tahoma files once per process.
void LoadFonts() {
    static const bool loaded = [] {
        for (const char* file : kTahomaFiles)
            if (QFontDatabase::addApplicationFont(QString::fromLatin1(file)) < 0)
                LogWarnA("Font %s could not be loaded.", file);
        return true;
    }();
    (void)loaded;
}

// The cursor shows "busy" while this lives.
class WaitCursor {
public:
    WaitCursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }
    ~WaitCursor() { QApplication::restoreOverrideCursor(); }
    WaitCursor(const WaitCursor&) = delete;
    WaitCursor& operator=(const WaitCursor&) = delete;
};

// The program's icon at the sizes desktops ask for.
QIcon ProgramIcon() {
    QIcon icon;
    QSvgRenderer svg(QStringLiteral(":/resources/velundra.svg"));
    if (!svg.isValid()) return icon;
    for (int size : {16, 24, 32, 48, 64, 128, 256}) {
        QPixmap pixmap(size, size);
        pixmap.fill(Qt::transparent);
        QPainter p(&pixmap);
        svg.render(&p);
        p.end();
        icon.addPixmap(pixmap);
    }
    return icon;
}

// Writes the time of the start page's first paint (nanoseconds since the Unix epoch) to the
// file VELUNDRA_FIRST_PAINT_FILE names, for the start-up benchmark.
void NoteFirstPaint() {
    const char* path = std::getenv("VELUNDRA_FIRST_PAINT_FILE");
    if (!path || !*path) return;
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                        std::chrono::system_clock::now().time_since_epoch())
                        .count();
    if (FILE* f = std::fopen(path, "w")) {
        std::fprintf(f, "%lld\n", static_cast<long long>(ns));
        std::fclose(f);
    }
}

// Stands in for a module's pages until they exist: the header with the module's title and
// the button row, of which only the shared buttons and Back do something.
class CModulePlaceholderPage : public CBasePage {
public:
    explicit CModulePlaceholderPage(CMainFrame* frame) : CBasePage(frame), Header(this), Buttons(this) {
        Header.SetTitle(CMainFrame::ModuleTitle(frame->Module()));
        Buttons.Button(CWizardBtnGroup::Next)->setEnabled(false);
    }

protected:
    void resizeEvent(QResizeEvent*) override {
        Header.Layout(width());
        Buttons.Layout(width(), height());
    }
    void paintEvent(QPaintEvent*) override { QPainter(this).fillRect(rect(), Qt::white); }

private:
    CDlgHeader Header;
    CWizardBtnGroup Buttons;
};

}  // namespace

QFont TahomaFont(int pixelSize, int weight) {
    QFont font(QStringLiteral("Tahoma"));
    font.setPixelSize(pixelSize);
    font.setWeight(static_cast<QFont::Weight>(weight));
    return font;
}

bool OpenAddress(const QString& address) {
    int error = 0;
    const QByteArray target = address.toUtf8();
    if (platform::OpenForUser(target.toStdString(), &error)) return true;
    LogWarnA("Opening %s failed: %s.", target.constData(), std::strerror(error));
    return false;
}

QPixmap LoadPicture(const QString& name, const QWidget* widget) {
    QSvgRenderer svg(QStringLiteral(":/resources/") + name);
    if (!svg.isValid()) return {};
    const qreal ratio = widget ? widget->devicePixelRatioF() : 1.0;
    const QSize size = svg.defaultSize();
    QPixmap pixmap(size * ratio);
    pixmap.setDevicePixelRatio(ratio);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    svg.render(&p, QRectF(QPointF(0, 0), QSizeF(size)));
    return pixmap;
}

// ---------------------------------------------------------------------------------------
// Pages

CBasePage::CBasePage(CMainFrame* frame) : QWidget(frame), Frame_(frame) {
    // PushPage shows the page once its children exist: a child created under a widget that
    // is already shown would stay hidden.
    setAttribute(Qt::WA_OpaquePaintEvent);
    setGeometry(0, 0, 10, 10);
}

CBasePage::~CBasePage() = default;

bool CBasePage::CanClose() { return true; }

void CBasePage::OnReactivate() {}

void CBasePage::OnCommand(int command) {
    switch (command) {
    case kCmdWebsite: OpenAddress(QString::fromLatin1(kHomePageUrl)); break;
    case kCmdBack: Frame_->Pages().GoBack(); break;
    case kCmdHelp: OpenAddress(QString::fromLatin1(kHelpPageUrl)); break;
    case kCmdUpdate: OpenAddress(QString::fromLatin1(kUpdatePageUrl)); break;
    default: break;
    }
}

void CBasePage::BindCommand(QAbstractButton* button, int command) {
    connect(button, &QAbstractButton::clicked, this, [this, command] { PostCommand(command); });
}

void CBasePage::BindCommand(CHyperLink* link, int command) {
    connect(link, &CHyperLink::Clicked, this, [this, command] { PostCommand(command); });
}

void CBasePage::PostCommand(int command) {
    // Queued on this page: if the page is destroyed first, the command is dropped with it.
    QMetaObject::invokeMethod(this, [this, command] { OnCommand(command); }, Qt::QueuedConnection);
}

// ---------------------------------------------------------------------------------------
// Page stack

ModelController::~ModelController() {
    while (!Pages.empty()) Pages.pop_back();
}

void ModelController::PushPage(CBasePage* page) {
    if (!page) return;
    std::unique_ptr<CBasePage> owned(page);
    if (!Pages.empty()) Pages.back()->hide();
    owned->setGeometry(Frame->rect());
    owned->show();
    owned->update();
    Pages.push_back(std::move(owned));
}

void ModelController::Reveal(CBasePage* page) {
    page->setGeometry(Frame->rect());
    page->OnReactivate();
    page->show();
    page->repaint();
}

void ModelController::GoBack() {
    if (Pages.size() < 2) return;
    std::unique_ptr<CBasePage> old = std::move(Pages.back());
    Pages.pop_back();
    old->hide();
    Reveal(Pages.back().get());
    WaitCursor busy;
    old.reset();
}

void ModelController::GoHome() {
    if (Pages.size() < 2) return;
    for (size_t i = 1; i < Pages.size(); ++i) Pages[i]->hide();
    Reveal(Pages.front().get());
    WaitCursor busy;
    while (Pages.size() > 1) Pages.pop_back();
}

void ModelController::FitTop() {
    if (CBasePage* top = Top()) top->setGeometry(Frame->rect());
}

// ---------------------------------------------------------------------------------------
// Frame

QIcon LoadProgramResources() {
    RegisterPictures();
    LoadFonts();
    return ProgramIcon();
}

CMainFrame::CMainFrame(QWidget* parent) : QWidget(parent), Controller(this) {
    setWindowIcon(LoadProgramResources());
    setAutoFillBackground(true);
    QPalette palette = this->palette();
    palette.setColor(QPalette::Window, Qt::white);
    setPalette(palette);
    // A top-level widget's size is its client area.
    setMinimumSize(kClientWidth, kClientHeight);
    resize(kClientWidth, kClientHeight);
    Controller.PushPage(new CHomePage(this));
}

CMainFrame::~CMainFrame() = default;

QString CMainFrame::ModuleTitle(int module) {
    return module == kModuleFatToNtfs ? QStringLiteral("Convert FAT to NTFS")
                                      : QStringLiteral("Convert NTFS to FAT32");
}

CBasePage* CMainFrame::CreateVolumeListPage(int filter) { return new CVolumeListPage(this, filter); }

void CMainFrame::resizeEvent(QResizeEvent* event) {
    Controller.FitTop();
    QWidget::resizeEvent(event);
}

void CMainFrame::closeEvent(QCloseEvent* event) {
    CBasePage* top = Controller.Top();
    if (top && !top->CanClose()) {
        event->ignore();
        return;
    }
    event->accept();
}

// ---------------------------------------------------------------------------------------
// Header band

CDlgHeader::CDlgHeader(QWidget* parent)
    : QWidget(parent), TitleFont(TahomaFont(16, 400)), SubtitleFont(TahomaFont(13, 400)) {
    setAttribute(Qt::WA_OpaquePaintEvent);
    setGeometry(0, 0, parent ? parent->width() : 0, kHeight);
}

void CDlgHeader::SetTitle(const QString& title) {
    Title_ = title;
    update();
}

void CDlgHeader::SetSubtitle(const QString& subtitle) {
    Subtitle_ = subtitle;
    update();
}

void CDlgHeader::paintEvent(QPaintEvent*) {
    QPainter p(this);
    const int w = width();
    const int h = height();
    QLinearGradient band(0, 0, 0, h - 1);
    band.setColorAt(0, kHeaderTop);
    band.setColorAt(1, kHeaderBottom);
    p.fillRect(QRect(0, 0, w, h - 1), band);
    p.fillRect(QRect(0, h - 1, w, 1), kHeaderLine);
    // Text tops at (14, 8) and (14, 28), one line each, cut at the band's right edge.
    const int flags = Qt::AlignLeft | Qt::AlignTop | Qt::TextSingleLine;
    p.setFont(TitleFont);
    p.setPen(kHeaderTitle);
    p.drawText(QRect(14, 8, w - 14, QFontMetrics(TitleFont).height()), flags, Title_);
    p.setFont(SubtitleFont);
    p.setPen(kHeaderSubtitle);
    p.drawText(QRect(14, 28, w - 14, QFontMetrics(SubtitleFont).height()), flags, Subtitle_);
}

// ---------------------------------------------------------------------------------------
// Button row

CWizardBtnGroup::CWizardBtnGroup(CBasePage* page) {
    struct ButtonText {
        Id Which;
        const char* Caption;
        int Command;
        const char* Tooltip;
    };
    static constexpr ButtonText kButtons[] = {
        {Next, "&Next >", kCmdNext, "Continue to next step."},
        {Back, "< &Back", kCmdBack, "Return to previous step."},
        {Website, "&Website", kCmdWebsite, "To visit our website home page."},
        {Help, "&Help", kCmdHelp, nullptr},
        {Update, "&Update", kCmdUpdate, nullptr},
    };
    const QFont font = TahomaFont(11, 400);
    for (const ButtonText& s : kButtons) {
        auto* button = new CQuillFlatButton(QString::fromLatin1(s.Caption), page);
        button->setFont(font);
        button->SetFaceColors(QColor(245, 246, 248), QColor(231, 234, 239));
        button->resize(kWidth, kHeight);
        if (s.Tooltip) button->setToolTip(QString::fromLatin1(s.Tooltip));
        page->BindCommand(button, s.Command);
        Buttons[s.Which] = button;
    }
}

void CWizardBtnGroup::Layout(int cx, int cy) {
    const int top = cy - 36;
    const int next = cx - kWidth - 30;
    Buttons[Next]->move(next, top);
    Buttons[Back]->move(next - kWidth - 2, top);
    Buttons[Help]->move(6, top);
    Buttons[Website]->move(kWidth + 8, top);
    Buttons[Update]->move(2 * kWidth + 10, top);
}

// ---------------------------------------------------------------------------------------
// Start page

CHomePage::CHomePage(CMainFrame* frame)
    : CBasePage(frame), LinkFont(TahomaFont(11, 600)), TextFont(TahomaFont(12, 500)) {
    HeaderPicture = LoadPicture(QStringLiteral("header.svg"), this);
    ShadowPicture = LoadPicture(QStringLiteral("shadow.svg"), this);

    // 1. The module buttons.
    static constexpr int kCommands[] = {kCmdModuleToFat32, kCmdModuleToNtfs};
    static constexpr const char* kPictures[] = {"module_tofat32.svg", "module_tontfs.svg"};
    for (int i = 0; i < 2; ++i) {
        auto* button = new CPictureButton(&Theme, this);
        button->resize(kModuleWidth, kModuleHeight);
        button->SetPicture(LoadPicture(QString::fromLatin1(kPictures[i]), this));
        button->setAccessibleName(CMainFrame::ModuleTitle(i));
        BindCommand(button, kCommands[i]);
        connect(button, &CPictureButton::MouseEntered, this, [this, i] { SetHotModule(i); });
        connect(button, &CPictureButton::MouseLeft, this, [this, i] {
            if (HotModule == i) SetHotModule(-1);
        });
        Modules[static_cast<size_t>(i)] = button;
    }

    // 2. The links, each sized to its text.
    static constexpr const char* kLinkTexts[] = {"Website", "Update", "Help"};
    static constexpr int kLinkCommands[] = {kCmdWebsite, kCmdUpdate, kCmdHelpLink};
    for (int i = 0; i < 3; ++i) {
        auto* link = new CHyperLink(QString::fromLatin1(kLinkTexts[i]), this);
        link->SetColors(kLinkColor, kLinkHotColor, kLinkColor);
        link->SetBackground(kLinkBackground);
        link->SetLinkFont(LinkFont);
        BindCommand(link, kLinkCommands[i]);
        Links[static_cast<size_t>(i)] = link;
    }
}

void CHomePage::OnCommand(int command) {
    switch (command) {
    case kCmdModuleToFat32: OpenModule(kModuleNtfsToFat32); break;
    case kCmdModuleToNtfs: OpenModule(kModuleFatToNtfs); break;
    case kCmdHelpLink: CBasePage::OnCommand(kCmdHelp); break;
    default: CBasePage::OnCommand(command); break;
    }
}

void CHomePage::OpenModule(int module) {
    // NTFS to FAT32 lists the NTFS volumes (filter 1); FAT to NTFS the FAT ones (filter 0).
    Frame()->SetModule(module);
    Frame()->Pages().PushPage(Frame()->CreateVolumeListPage(module == kModuleNtfsToFat32 ? 1 : 0));
}

QString CHomePage::Description() const {
    switch (HotModule) {
    case kModuleNtfsToFat32: return QStringLiteral("Convert NTFS to FAT32 fast and safely without losing data");
    case kModuleFatToNtfs: return QStringLiteral("Convert FAT32 to NTFS with Velundra's own disk tool velundra-tontfs");
    default: return QStringLiteral("Choose a module to start converting:");
    }
}

void CHomePage::SetHotModule(int module) {
    if (HotModule == module) return;
    HotModule = module;
    update(DescriptionBand(width()));
}

void CHomePage::resizeEvent(QResizeEvent* event) {
    Layout(width(), height());
    CBasePage::resizeEvent(event);
}

void CHomePage::Layout(int cx, int cy) {
    const int first = cx / 2 - kModuleLeftOfCentre;
    Modules[0]->move(first, kModuleTop);
    Modules[1]->move(first + kModuleStep, kModuleTop);

    int total = 0;
    for (CHyperLink* link : Links) total += link->width();
    int x = (cx - total - 2 * kLinkGap) / 2;
    for (CHyperLink* link : Links) {
        link->move(x, cy - kLinksAboveBottom);
        x += link->width() + kLinkGap;
    }
}

void CHomePage::paintEvent(QPaintEvent*) {
    // Qt paints widgets into a back buffer already; the page is drawn whole each time.
    QPainter p(this);
    const int w = width();
    // 1. The dark band, its line, the body.
    p.fillRect(QRect(0, 0, w, kBandHeight), kBandColor);
    p.fillRect(QRect(0, kBandHeight, w, 1), kBandLineColor);
    p.fillRect(QRect(0, kBandHeight + 1, w, height() - kBandHeight - 1), kBodyColor);
    // 2. The header picture and a shadow under each module button.
    if (!HeaderPicture.isNull()) p.drawPixmap(14, 10, HeaderPicture);
    if (!ShadowPicture.isNull())
        for (CPictureButton* button : Modules)
            p.drawPixmap(button->x(), button->y() + button->height() + 1, ShadowPicture);
    // 3. What the module under the mouse does.
    p.setFont(TextFont);
    p.setPen(Qt::black);
    p.drawText(DescriptionBand(w), Qt::AlignCenter | Qt::TextSingleLine, Description());

    if (!Painted) {
        Painted = true;
        NoteFirstPaint();
    }
}
