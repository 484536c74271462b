// A text link: underlined, sized to its text, drawn in one colour at rest, another under the
// mouse and a third once visited, on a solid background. It emits Clicked on a left click or
// on Space/Enter when it has the keyboard focus.
//
// Threads: the user-interface thread only.
#pragma once

#include <QColor>
#include <QWidget>

class CHyperLink : public QWidget {
    Q_OBJECT
public:
    CHyperLink(const QString& text, QWidget* parent = nullptr);

    void SetColors(const QColor& normal, const QColor& hot, const QColor& visited);
    void SetBackground(const QColor& background);
    QString Text() const { return Text_; }
    bool Visited() const { return Visited_; }

    // Sets the font (underlined) and resizes the link to its text.
    void SetLinkFont(const QFont& font);

    QSize sizeHint() const override;

signals:
    void Clicked();

protected:
    void paintEvent(QPaintEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    void Activate();

    QString Text_;
    QColor Normal{0, 0, 238};
    QColor Hot{0, 0, 238};
    QColor VisitedColor{85, 26, 139};
    QColor Background{255, 255, 255};
    bool Hot_ = false;
    bool Pressed = false;
    bool Visited_ = false;
};
