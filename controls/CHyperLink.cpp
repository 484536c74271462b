#include "controls/CHyperLink.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>

CHyperLink::CHyperLink(const QString& text, QWidget* parent) : QWidget(parent), Text_(text) {
    setCursor(Qt::PointingHandCursor);
    setFocusPolicy(Qt::TabFocus);
    setAccessibleName(text);
    SetLinkFont(font());
}

void CHyperLink::SetColors(const QColor& normal, const QColor& hot, const QColor& visited) {
    Normal = normal;
    Hot = hot;
    VisitedColor = visited;
    update();
}

void CHyperLink::SetBackground(const QColor& background) {
    Background = background;
    update();
}

void CHyperLink::SetLinkFont(const QFont& f) {
    QFont underlined = f;
    underlined.setUnderline(true);
    setFont(underlined);
    resize(sizeHint());
}

QSize CHyperLink::sizeHint() const {
    const QFontMetrics fm(font());
    return QSize(fm.horizontalAdvance(Text_), fm.height());
}

void CHyperLink::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.fillRect(rect(), Background);
    p.setFont(font());
    p.setPen(Hot_ ? Hot : (Visited_ ? VisitedColor : Normal));
    p.drawText(rect(), Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine, Text_);
    if (hasFocus()) {
        p.setPen(QPen(p.pen().color(), 1, Qt::DotLine));
        p.drawRect(rect().adjusted(0, 0, -1, -1));
    }
}

void CHyperLink::enterEvent(QEnterEvent* event) {
    Hot_ = true;
    update();
    QWidget::enterEvent(event);
}

void CHyperLink::leaveEvent(QEvent* event) {
    Hot_ = false;
    Pressed = false;
    update();
    QWidget::leaveEvent(event);
}

void CHyperLink::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) Pressed = true;
    QWidget::mousePressEvent(event);
}

void CHyperLink::mouseReleaseEvent(QMouseEvent* event) {
    // A click is a press and a release both on the link.
    const bool click = Pressed && event->button() == Qt::LeftButton && rect().contains(event->position().toPoint());
    Pressed = false;
    if (click) Activate();
    QWidget::mouseReleaseEvent(event);
}

void CHyperLink::keyPressEvent(QKeyEvent* event) {
    switch (event->key()) {
    case Qt::Key_Space:
    case Qt::Key_Return:
    case Qt::Key_Enter: Activate(); return;
    default: QWidget::keyPressEvent(event);
    }
}

void CHyperLink::Activate() {
    Visited_ = true;
    update();
    emit Clicked();
}
