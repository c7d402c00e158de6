#include "app/firmwaretablemodel.h"

#include "app/appdelegate.h"

#include <QItemSelectionModel>
#include <QTableView>

FirmwareTableModel::FirmwareTableModel(AppDelegate *delegate, QTableView *view)
    : QAbstractTableModel(view), m_delegate(delegate), m_view(view)
{}

void FirmwareTableModel::reload()
{
    beginResetModel();
    m_rows = int(qBound<qint64>(0, m_delegate->numberOfRowsInTableView(m_view), qint64(INT_MAX)));
    endResetModel();
}

int FirmwareTableModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : m_rows;
}

int FirmwareTableModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : 1;
}

QVariant FirmwareTableModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= m_rows)
        return {};
    if (role != Qt::DisplayRole && role != Qt::ToolTipRole)
        return {};
    return m_delegate->tableViewObjectValueForTableColumnRow(m_view, index.column(), index.row());
}

QVariant FirmwareTableModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (role == Qt::DisplayRole && orientation == Qt::Horizontal && section == 0)
        return tr("Firmware");
    return {};
}

static FirmwareTableModel *modelOf(QTableView *view)
{
    return view ? qobject_cast<FirmwareTableModel *>(view->model()) : nullptr;
}

qint64 numberOfRows(QTableView *view)
{
    const auto *model = modelOf(view);
    return model ? model->rowCount() : 0;
}

void reloadData(QTableView *view)
{
    if (auto *model = modelOf(view)) {
        model->reload();
        // Lay the rows out now, so that scrolling to one of them right after
        // a reload lands where it should.
        view->doItemsLayout();
    }
}

qint64 selectedRow(QTableView *view)
{
    if (!view || !view->selectionModel())
        return -1;
    const QModelIndexList rows = view->selectionModel()->selectedRows();
    return rows.isEmpty() ? -1 : rows.constFirst().row();
}
