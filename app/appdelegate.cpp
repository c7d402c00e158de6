#include "app/appdelegate.h"

#include "app/busyindicator.h"
#include "app/firmwaretablemodel.h"
#include "platform/devlog.h"

#include <QItemSelectionModel>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QTableView>
#include <QTextCursor>

AppDelegate::AppDelegate(Configuration configuration, QObject *parent)
    : QObject(parent), m_configuration(std::move(configuration))
{}

AppDelegate::~AppDelegate() = default;

void AppDelegate::applicationDidFinishLaunching()
{
    // Cleared directly, not through the log: queued pieces always land after this.
    if (m_outputText)
        m_outputText->setPlainText(QString());
    if (m_buildButton)
        m_buildButton->setEnabled(false);
    if (checkForUpdates() && m_buildButton)
        m_buildButton->setEnabled(true);
}

void AppDelegate::startTask()
{
    if (m_buildButton)
        m_buildButton->setEnabled(false);
    if (m_tableView)
        m_tableView->setEnabled(false);
    startAnimation(m_spinner);
    runScript();
}

void AppDelegate::stopTask()
{
    // An update, once started, can't be interrupted from the window.
}

void AppDelegate::runScript()
{
    // The update run is not part of this build yet.
}

bool AppDelegate::checkForUpdates()
{
    // The update check is not part of this build yet; until it is, there is
    // never a firmware to offer, so the button stays disabled.
    return false;
}

void AppDelegate::updateUILog(const QString &text)
{
    devLog(text);
    // Queued even on the main thread, so that pieces appear in call order and
    // only once the current main-thread work has returned to the event loop.
    QMetaObject::invokeMethod(
        this, [this, text] { appendToConsole(text); }, Qt::QueuedConnection);
}

void AppDelegate::appendToConsole(const QString &piece)
{
    if (!m_outputText)
        return;
    // Insert at the end instead of rewriting the whole text, so an append
    // costs the same however long the log has grown.
    QTextCursor end(m_outputText->document());
    end.movePosition(QTextCursor::End);
    end.insertText(piece);
    QScrollBar *bar = m_outputText->verticalScrollBar();
    bar->setValue(bar->maximum());
}

QStringList &AppDelegate::tableData()
{
    // Created on first use with one blank placeholder row.
    if (!m_tableData)
        m_tableData = QStringList{QString()};
    return *m_tableData;
}

void AppDelegate::setTableData(const QStringList &rows)
{
    m_tableData = rows;
}

qint64 AppDelegate::numberOfRowsInTableView(QTableView *)
{
    return tableData().size();
}

QString AppDelegate::tableViewObjectValueForTableColumnRow(QTableView *, int, qint64 row)
{
    const QStringList &rows = tableData();
    return row >= 0 && row < rows.size() ? rows.at(row) : QString();
}

void AppDelegate::tableViewSelectionDidChange(QTableView *view)
{
    const qint64 row = selectedRow(view);
    // A cleared selection keeps the last choice.
    if (row < 0 || row >= tableData().size())
        return;
    setSelectedTableItemValue(tableData().at(row));
    devLog(QStringLiteral("Selected table value: ") + selectedTableItemValue());
}

void AppDelegate::setTableView(QTableView *view)
{
    m_tableView = view;
    if (!view)
        return;
    auto *model = new FirmwareTableModel(this, view);
    view->setModel(model);
    model->reload();
    connect(view->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            [this, view] { tableViewSelectionDidChange(view); });
}

void AppDelegate::setBuildButton(QPushButton *button)
{
    if (m_buildButton)
        disconnect(m_buildButton, nullptr, this, nullptr);
    m_buildButton = button;
    if (button)
        connect(button, &QPushButton::clicked, this, &AppDelegate::startTask);
}

QString AppDelegate::dfuToolPath() const
{
    QMutexLocker lock(&m_dfuToolPathLock);
    return m_dfuToolPath;
}

void AppDelegate::setDfuToolPath(const QString &path)
{
    QMutexLocker lock(&m_dfuToolPathLock);
    m_dfuToolPath = path;
}
