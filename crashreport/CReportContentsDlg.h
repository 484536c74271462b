// "Error Report Contents": the list of the report's files with a check box each, and a
// viewer that shows a file's first 64 KiB as text or as a hex dump when its row is activated
// (double click or Enter).
//
// The window keeps a pointer to the report window's entries and writes every row's check
// state into their send flags when it closes (with "Close", the close box or Escape alike, so
// that a file the user unchecked is never sent).
//
// Ownership: the entries belong to the caller and must outlive the window. Threads: the
// user-interface thread only.
#pragma once

#include <vector>

#include <QDialog>

#include "crashreport/ReportEntry.h"

class QLabel;
class QPlainTextEdit;
class QPushButton;
class QTreeWidget;

class CReportContentsDlg : public QDialog {
    Q_OBJECT
public:
    // The list's columns, and each one's share of the list's width in 64ths (the last
    // column takes what is left).
    enum Column { ColSend, ColName, ColDescription, ColType, ColSize, ColumnCount };
    static constexpr int kColumnShares[] = {9, 18, 17, 12};

    explicit CReportContentsDlg(std::vector<ReportEntry>* entries, QWidget* parent = nullptr);

    // Shows entry `row` in the name and description fields and its contents in the viewer.
    void ViewEntry(int row);

    // Writes the check states into the entries' send flags and closes (the Close button).
    void done(int result) override;

    QTreeWidget* List() const { return List_; }
    QLabel* NameField() const { return Name_; }
    QLabel* DescriptionField() const { return Description_; }
    QPlainTextEdit* Viewer() const { return Viewer_; }
    QPushButton* CloseButton() const { return Close_; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    // Gives the columns their shares of the list's width.
    void FitColumns();

    std::vector<ReportEntry>* Entries;
    QTreeWidget* List_ = nullptr;
    QLabel* Name_ = nullptr;
    QLabel* Description_ = nullptr;
    QPlainTextEdit* Viewer_ = nullptr;
    QPushButton* Close_ = nullptr;
};
