// The volume list control: rows of an IListModel in typed columns (text, size, number, date,
// file-system type, own formatter), one row selectable at a time or none.
//
// The control holds the current model and owns it: SetModel replaces (and deletes) the one
// before, so a page refreshes its list by handing over a newly built model. The selection is
// cleared whenever the model is replaced.
//
// Threads: the user-interface thread only.
#pragma once

#include <functional>
#include <memory>
#include <vector>

#include <QString>
#include <QTreeView>

#include "controls/IListModel.h"

class CFSListItems;

class CFSListCtrl : public QTreeView {
    Q_OBJECT
public:
    explicit CFSListCtrl(QWidget* parent = nullptr);
    ~CFSListCtrl() override;

    // Appends a column; its cells are asked of the model by `type`.
    void AddColumn(const QString& title, ListColumnType type, int width);
    // For ListColumnType::Formatted: how that column's values become text (empty: the number).
    void SetColumnFormatter(int column, std::function<QString(int64_t)> formatter);

    // Replaces the model (the old one is deleted) and redraws; null leaves the list empty.
    void SetModel(std::unique_ptr<IListModel> model);
    IListModel* Model() const;

    // The selected row, or -1 when none is.
    int SelectedRow() const;
    // Selects `row` (-1: none).
    void SelectRow(int row);

    int ColumnCount() const;
    // The text a cell shows, as drawn.
    QString CellText(int row, int column) const;

private:
    CFSListItems* Items;  // owned as a child object
};
