#include "controls/CPictureButton.h"

#include <QEnterEvent>
#include <QPainter>

CPictureButton::CPictureButton(const CPictureButtonTheme* theme, QWidget* parent)
    : QAbstractButton(parent), Theme(theme) {
    setFocusPolicy(Qt::StrongFocus);
    setCursor(Qt::PointingHandCursor);
}

void CPictureButton::SetPicture(const QPixmap& picture) {
    Picture = picture;
    update();
}

QSize CPictureButton::sizeHint() const {
    return Picture.isNull() ? QSize(64, 64) : Picture.deviceIndependentSize().toSize() + QSize(2, 2);
}

void CPictureButton::paintEvent(QPaintEvent*) {
    QPainter p(this);
    const QRect r = rect();
    p.fillRect(r, Theme->Background);
    const QRect face = r.adjusted(1, 1, -1, -1);
    if (!Picture.isNull()) {
        p.setRenderHint(QPainter::SmoothPixmapTransform);
        p.drawPixmap(isDown() ? face.translated(1, 1) : face, Picture);
    }
    QColor border = Theme->Border;
    if (isDown())
        border = Theme->BorderPressed;
    else if (Hot_ || hasFocus())
        border = Theme->BorderHot;
    p.setPen(border);
    p.drawRect(r.adjusted(0, 0, -1, -1));
    if (Hot_ || isDown()) p.drawRect(r.adjusted(1, 1, -2, -2));
}

void CPictureButton::enterEvent(QEnterEvent* event) {
    Hot_ = true;
    update();
    emit MouseEntered();
    QAbstractButton::enterEvent(event);
}

void CPictureButton::leaveEvent(QEvent* event) {
    Hot_ = false;
    update();
    emit MouseLeft();
    QAbstractButton::leaveEvent(event);
}
