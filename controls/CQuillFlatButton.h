// A flat push button drawn by itself: a vertical gradient face, a thin border that darkens
// under the mouse, and the caption centred with its keyboard mnemonic ("&Next >" underlines
// the N and answers Alt+N, as QAbstractButton does for every caption with an ampersand).
//
// Threads: the user-interface thread only.
#pragma once

#include <QAbstractButton>
#include <QColor>

class CQuillFlatButton : public QAbstractButton {
    Q_OBJECT
public:
    explicit CQuillFlatButton(const QString& caption, QWidget* parent = nullptr);

    // The face's gradient, top to bottom. The caption is drawn without a background.
    void SetFaceColors(const QColor& top, const QColor& bottom);
    QColor FaceTop() const { return FaceTop_; }
    QColor FaceBottom() const { return FaceBottom_; }

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;

private:
    QColor FaceTop_{245, 246, 248};
    QColor FaceBottom_{231, 234, 239};
    bool Hot_ = false;
};
