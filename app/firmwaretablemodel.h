#pragma once

#include <QAbstractTableModel>
#include <QVariantMap>

class AppDelegate;
class QTableView;

// Presents the controller's row list to a QTableView. Like a classic table data
// source, the view sees the row count as of its last reload, not the list's
// live length: reload() is the only way new rows become visible.
class FirmwareTableModel : public QAbstractTableModel
{
    Q_OBJECT

public:
    FirmwareTableModel(AppDelegate *delegate, QTableView *view);

    void reload();

    int rowCount(const QModelIndex &parent = {}) const override;
    int columnCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

private:
    AppDelegate *m_delegate;
    QTableView *m_view;
    int m_rows = 0;
};

// A catalogue entry's version, date and description, one a line, for its
// row's tooltip and accessible description; empty when it gives none.
QString firmwareEntryDetails(const QVariantMap &entry);

// The view's row count as of its last reload; 0 for no view.
qint64 numberOfRows(QTableView *view);
// Reloads the view's rows from the data source; nothing for no view.
void reloadData(QTableView *view);
// The selected row, or -1 when none is selected.
qint64 selectedRow(QTableView *view);
