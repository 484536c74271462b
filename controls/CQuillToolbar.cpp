#include "controls/CQuillToolbar.h"

#include <QFontMetrics>
#include <QLinearGradient>
#include <QPainter>

#include "controls/CQuillFlatButton.h"

namespace {

constexpr int kLeft = 6;          // first button's distance from the left edge
constexpr int kGap = 4;           // between buttons
constexpr int kButtonHeight = 28;
constexpr int kCaptionPadding = 24;  // beside the caption, both sides together

}  // namespace

CQuillToolbar::CQuillToolbar(QWidget* parent) : QWidget(parent), ButtonFont(font()) {
    setAttribute(Qt::WA_OpaquePaintEvent);
}

CQuillFlatButton* CQuillToolbar::AddButton(const QString& caption, const QString& tooltip) {
    auto* button = new CQuillFlatButton(caption, this);
    button->setFont(ButtonFont);
    if (!tooltip.isEmpty()) button->setToolTip(tooltip);
    button->resize(QFontMetrics(ButtonFont).horizontalAdvance(caption) + kCaptionPadding, kButtonHeight);
    button->show();
    Buttons_.push_back(button);
    Layout();
    return button;
}

void CQuillToolbar::Layout() {
    int x = kLeft;
    for (CQuillFlatButton* b : Buttons_) {
        b->move(x, (height() - b->height()) / 2);
        x += b->width() + kGap;
    }
}

void CQuillToolbar::resizeEvent(QResizeEvent* event) {
    Layout();
    QWidget::resizeEvent(event);
}

void CQuillToolbar::paintEvent(QPaintEvent*) {
    QPainter p(this);
    QLinearGradient face(0, 0, 0, height());
    face.setColorAt(0, QColor(250, 251, 252));
    face.setColorAt(1, QColor(231, 235, 239));
    p.fillRect(rect(), face);
    p.fillRect(QRect(0, height() - 1, width(), 1), QColor(200, 205, 211));
}
