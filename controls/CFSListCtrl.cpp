#include "controls/CFSListCtrl.h"

#include <QAbstractTableModel>
#include <QColor>
#include <QDateTime>
#include <QHeaderView>

// Presents an IListModel to the view: one Qt row per model row, a column per AddColumn.
class CFSListItems : public QAbstractTableModel {
public:
    struct Column {
        QString Title;
        ListColumnType Type;
        std::function<QString(int64_t)> Formatter;
    };

    explicit CFSListItems(QObject* parent) : QAbstractTableModel(parent) {}

    void AddColumn(const QString& title, ListColumnType type) {
        beginInsertColumns({}, static_cast<int>(Columns.size()), static_cast<int>(Columns.size()));
        Columns.push_back({title, type, {}});
        endInsertColumns();
    }

    void SetModel(std::unique_ptr<IListModel> model) {
        beginResetModel();
        Model = std::move(model);
        endResetModel();
    }

    int rowCount(const QModelIndex& parent) const override {
        return parent.isValid() || !Model ? 0 : Model->GetRowCount();
    }
    int columnCount(const QModelIndex& parent) const override {
        return parent.isValid() ? 0 : static_cast<int>(Columns.size());
    }

    QString Text(int row, int column) const {
        if (!Model || column < 0 || column >= static_cast<int>(Columns.size())) return {};
        const Column& c = Columns[static_cast<size_t>(column)];
        switch (c.Type) {
        case ListColumnType::Text: return QString::fromStdU16String(Model->GetCellText(row, column));
        case ListColumnType::Size: {
            // A negative count is a size nobody knows: nothing is shown rather than a guess.
            const int64_t bytes = Model->GetCellBytes(row, column);
            return bytes < 0 ? QString() : QString::fromStdU16String(FormatSize(bytes));
        }
        case ListColumnType::Number: {
            const int64_t n = Model->GetCellNumber(row, column);
            return n < 0 ? QString() : QString::number(n);
        }
        case ListColumnType::Date: {
            const int64_t t = Model->GetCellDate(row, column);
            return t == 0 ? QString() : QDateTime::fromSecsSinceEpoch(t).toString(QStringLiteral("yyyy-MM-dd HH:mm"));
        }
        case ListColumnType::FsType: return QString::fromStdU16String(FsTypeName(Model->GetCellFsType(row, column)));
        case ListColumnType::Formatted: {
            const int64_t v = Model->GetCellFormatted(row, column);
            return c.Formatter ? c.Formatter(v) : QString::number(v);
        }
        }
        return {};
    }

    QVariant data(const QModelIndex& index, int role) const override {
        if (!Model || !index.isValid()) return {};
        const int row = index.row(), column = index.column();
        switch (role) {
        case Qt::DisplayRole: return Text(row, column);
        case Qt::ForegroundRole: {
            const ListColor c = Model->GetCellColor(row, column);
            return QColor(static_cast<int>(c & 0xFF), static_cast<int>(c >> 8 & 0xFF), static_cast<int>(c >> 16 & 0xFF));
        }
        case Qt::ToolTipRole: {
            const std::u16string tip = Model->GetRowToolTip(row);
            return tip.empty() ? QVariant() : QVariant(QString::fromStdU16String(tip));
        }
        case Qt::TextAlignmentRole: {
            // Sizes and numbers line up at the right, as figures do.
            const ListColumnType t = Columns[static_cast<size_t>(column)].Type;
            const bool figure = t == ListColumnType::Size || t == ListColumnType::Number;
            return QVariant::fromValue(Qt::Alignment((figure ? Qt::AlignRight : Qt::AlignLeft) | Qt::AlignVCenter));
        }
        default: return {};
        }
    }

    QVariant headerData(int section, Qt::Orientation orientation, int role) const override {
        if (orientation != Qt::Horizontal || role != Qt::DisplayRole || section < 0 ||
            section >= static_cast<int>(Columns.size()))
            return {};
        return Columns[static_cast<size_t>(section)].Title;
    }

    Qt::ItemFlags flags(const QModelIndex& index) const override {
        return index.isValid() ? Qt::ItemIsEnabled | Qt::ItemIsSelectable : Qt::NoItemFlags;
    }

    std::vector<Column> Columns;
    std::unique_ptr<IListModel> Model;
};

CFSListCtrl::CFSListCtrl(QWidget* parent) : QTreeView(parent), Items(new CFSListItems(this)) {
    setModel(Items);
    setRootIsDecorated(false);
    setItemsExpandable(false);
    setUniformRowHeights(true);
    setAllColumnsShowFocus(true);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setFrameShape(QFrame::NoFrame);
    header()->setStretchLastSection(false);
    header()->setSectionsMovable(false);
}

CFSListCtrl::~CFSListCtrl() = default;

void CFSListCtrl::AddColumn(const QString& title, ListColumnType type, int width) {
    Items->AddColumn(title, type);
    setColumnWidth(Items->columnCount({}) - 1, width);
}

void CFSListCtrl::SetColumnFormatter(int column, std::function<QString(int64_t)> formatter) {
    if (column < 0 || column >= ColumnCount()) return;
    Items->Columns[static_cast<size_t>(column)].Formatter = std::move(formatter);
    viewport()->update();
}

void CFSListCtrl::SetModel(std::unique_ptr<IListModel> model) {
    Items->SetModel(std::move(model));
    viewport()->update();
}

IListModel* CFSListCtrl::Model() const { return Items->Model.get(); }

int CFSListCtrl::SelectedRow() const {
    const QModelIndexList rows = selectionModel()->selectedRows();
    return rows.isEmpty() ? -1 : rows.front().row();
}

void CFSListCtrl::SelectRow(int row) {
    if (row < 0 || row >= Items->rowCount({})) {
        selectionModel()->clearSelection();
        return;
    }
    const QModelIndex index = Items->index(row, 0);
    selectionModel()->select(index, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    setCurrentIndex(index);
}

int CFSListCtrl::ColumnCount() const { return Items->columnCount({}); }

QString CFSListCtrl::CellText(int row, int column) const { return Items->Text(row, column); }
