#include "app/firmwaretablemodel.h"

#include "app/appdelegate.h"

#include "catalogue/updatecheck.h"

#include <QIcon>
#include <QItemSelectionModel>
#include <QStyle>
#include <QTableView>
#include <QTextDocument>

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

namespace {

// A tooltip is shown as rich text when it looks like some; a name or a path
// with "<" in it must still show as written.
QString asToolTip(const QString &plain)
{
    return Qt::mightBeRichText(plain) ? Qt::convertFromPlainText(plain, Qt::WhiteSpaceNormal)
                                      : plain;
}

QString textField(const QVariantMap &entry, const char *key)
{
    const QVariant value = entry.value(QLatin1String(key));
    return value.typeId() == QMetaType::QString ? value.toString().trimmed() : QString();
}

} // namespace

QString firmwareEntryDetails(const QVariantMap &entry)
{
    QStringList lines;
    if (const QString version = textField(entry, "version"); !version.isEmpty())
        lines << QStringLiteral("Version ") + version;
    if (const QString date = textField(entry, "date"); !date.isEmpty())
        lines << QStringLiteral("Published ") + date;
    if (const QString description = textField(entry, "desc"); !description.isEmpty())
        lines << description;
    return lines.join(QLatin1Char('\n'));
}

QVariant FirmwareTableModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= m_rows)
        return {};
    const QString name =
        m_delegate->tableViewObjectValueForTableColumnRow(m_view, index.column(), index.row());
    if (role == Qt::DisplayRole)
        return name;
    // A file from disk may be named like an entry: its icon and its path tell it apart.
    if (const std::optional<QString> path = m_delegate->firmwareFilePathOfRow(index.row())) {
        if (role == Qt::DecorationRole)
            return m_view ? m_view->style()->standardIcon(QStyle::SP_FileIcon) : QIcon();
        if (role == Qt::ToolTipRole)
            return asToolTip(*path);
        if (role == Qt::AccessibleDescriptionRole)
            return QStringLiteral("Firmware file ") + *path;
        return {};
    }
    if (role != Qt::ToolTipRole && role != Qt::AccessibleDescriptionRole)
        return {};
    const std::optional<QVariantMap> entry =
        fwList ? catalogueEntryNamed(*fwList, name) : std::nullopt;
    const QString details = entry ? firmwareEntryDetails(*entry) : QString();
    if (role == Qt::AccessibleDescriptionRole)
        return details.isEmpty() ? QVariant() : QVariant(details);
    return asToolTip(details.isEmpty() ? name : details);
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
