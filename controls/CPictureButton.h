// A button that shows a picture over its whole face, with a frame from a theme that marks
// the mouse over it and the press. It says when the mouse enters and leaves it, so that a
// page can describe what the button does.
//
// Ownership: the theme is shared by the buttons that use it and must outlive them.
// Threads: the user-interface thread only.
#pragma once

#include <QAbstractButton>
#include <QColor>
#include <QPixmap>

// The frame colours of picture buttons, shared so that a row of them looks alike.
struct CPictureButtonTheme {
    QColor Border{176, 190, 210};
    QColor BorderHot{72, 112, 168};
    QColor BorderPressed{40, 72, 120};
    QColor Background{255, 255, 255};
};

class CPictureButton : public QAbstractButton {
    Q_OBJECT
public:
    CPictureButton(const CPictureButtonTheme* theme, QWidget* parent = nullptr);

    // The picture, drawn scaled to the face inside the frame.
    void SetPicture(const QPixmap& picture);
    bool IsHot() const { return Hot_; }

    QSize sizeHint() const override;

signals:
    void MouseEntered();
    void MouseLeft();

protected:
    void paintEvent(QPaintEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;

private:
    const CPictureButtonTheme* Theme;
    QPixmap Picture;
    bool Hot_ = false;
};
