#include "controls/CQuillFlatButton.h"

#include <QEnterEvent>
#include <QLinearGradient>
#include <QPainter>

namespace {

// Border colours: at rest, under the mouse, with the keyboard focus.
const QColor kBorder(166, 174, 186);
const QColor kBorderHot(96, 122, 156);
const QColor kCaption(32, 36, 40);
const QColor kCaptionDisabled(150, 154, 160);

}  // namespace

CQuillFlatButton::CQuillFlatButton(const QString& caption, QWidget* parent)
    : QAbstractButton(parent) {
    setText(caption);
    setFocusPolicy(Qt::StrongFocus);
    setAttribute(Qt::WA_Hover);
}

void CQuillFlatButton::SetFaceColors(const QColor& top, const QColor& bottom) {
    FaceTop_ = top;
    FaceBottom_ = bottom;
    update();
}

QSize CQuillFlatButton::sizeHint() const {
    const QFontMetrics fm(font());
    return QSize(fm.horizontalAdvance(text()) + 16, fm.height() + 10);
}

void CQuillFlatButton::paintEvent(QPaintEvent*) {
    QPainter p(this);
    const QRect r = rect();
    // A pressed button shows its gradient upside down, the way a face pushed in catches the
    // light from below.
    const bool down = isDown();
    QLinearGradient face(0, 0, 0, r.height());
    face.setColorAt(0, down ? FaceBottom_ : FaceTop_);
    face.setColorAt(1, down ? FaceTop_ : FaceBottom_);
    p.fillRect(r, face);

    p.setPen((Hot_ || hasFocus()) && isEnabled() ? kBorderHot : kBorder);
    p.drawRect(r.adjusted(0, 0, -1, -1));

    p.setPen(isEnabled() ? kCaption : kCaptionDisabled);
    p.setFont(font());
    const QRect textRect = down ? r.translated(1, 1) : r;
    p.drawText(textRect, Qt::AlignCenter | Qt::TextShowMnemonic | Qt::TextSingleLine, text());
}

void CQuillFlatButton::enterEvent(QEnterEvent* event) {
    Hot_ = true;
    update();
    QAbstractButton::enterEvent(event);
}

void CQuillFlatButton::leaveEvent(QEvent* event) {
    Hot_ = false;
    update();
    QAbstractButton::leaveEvent(event);
}
