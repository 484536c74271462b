// A toolbar band: flat buttons in a row from the left, each sized to its caption, on a light
// gradient with a line along the bottom.
//
// Threads: the user-interface thread only.
#pragma once

#include <vector>

#include <QFont>
#include <QWidget>

class CQuillFlatButton;

class CQuillToolbar : public QWidget {
    Q_OBJECT
public:
    explicit CQuillToolbar(QWidget* parent = nullptr);

    // The font of the buttons added after this call.
    void SetButtonFont(const QFont& font) { ButtonFont = font; }
    // Appends a button; it is a child of the toolbar.
    CQuillFlatButton* AddButton(const QString& caption, const QString& tooltip);
    const std::vector<CQuillFlatButton*>& Buttons() const { return Buttons_; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void Layout();

    QFont ButtonFont;
    std::vector<CQuillFlatButton*> Buttons_;
};
