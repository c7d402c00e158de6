#include "app/appdelegate.h"

#include "app/busyindicator.h"
#include "app/diagnosticreport.h"
#include "app/firmwaretablemodel.h"
#include "catalogue/updatecheck.h"
#include "platform/devlog.h"

#include <QClipboard>
#include <QFileDialog>
#include <QGuiApplication>
#include <QItemSelectionModel>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QTableView>
#include <QTextCursor>

#include <utility>

AppDelegate::AppDelegate(Configuration configuration, QObject *parent)
    : QObject(parent), ConfiguredRunHost(std::move(configuration))
{}

AppDelegate::~AppDelegate()
{
    // The application itself never gets here during a run or a check: it
    // ends the process first. Anyone else must let them finish.
    if (m_checker)
        m_checker->wait();
    if (m_worker)
        m_worker->wait();
}

void AppDelegate::applicationDidFinishLaunching()
{
    // Cleared directly, not through the log: queued pieces always land after this.
    if (m_outputText)
        m_outputText->setPlainText(QString());
    if (m_buildButton)
        m_buildButton->setEnabled(false);
    checkForUpdates();
}

void AppDelegate::startTask()
{
    if (m_buildButton)
        m_buildButton->setEnabled(false);
    if (m_tableView)
        m_tableView->setEnabled(false);
    if (m_openFirmwareFileAction)
        m_openFirmwareFileAction->setEnabled(false);
    startAnimation(m_spinner);
    runScript();
}

void AppDelegate::stopTask()
{
    // An update, once started, can't be interrupted from the window.
}

void AppDelegate::runScript()
{
    if (m_worker)
        return; // one run per launch
    // The catalogue is copied now: it was written on this thread and never changes again.
    const QVariantList firmwareList = fwList.value_or(QVariantList());
    m_worker.reset(QThread::create([this, firmwareList] {
        // The hold ends with this thread, so also when a halted run gives up.
        const SleepInhibitor awake = keepAwakeForUpdate();
        m_lastOutcome.store(performUpdateRun(*this, firmwareList));
    }));
    m_worker->setObjectName(QStringLiteral("update run"));
    m_worker->start(QThread::LowestPriority);
}

bool AppDelegate::isUpdateRunActive() const
{
    return m_worker && !m_worker->isFinished();
}

bool AppDelegate::waitForUpdateRun(int milliseconds)
{
    return !m_worker || m_worker->wait(QDeadlineTimer(milliseconds));
}

namespace {
// A catalogue that comes this quickly is in the window before its first
// paint, as if fetched on this thread; a slower one no longer holds it.
constexpr int kQuickCheckMs = 100;
} // namespace

void AppDelegate::checkForUpdates()
{
    if (m_checker)
        return; // once per launch
    updateUILog(QStringLiteral("Checking for updates...\n"));
    m_checking = true;
    const QString server = m_configuration.updateServerUrl;
    const CatalogueTrust trust = m_configuration.catalogueTrust;
    m_checker.reset(QThread::create([this, server, trust] {
        const UpdateCheck check = fetchFirmwareList(server, trust);
        {
            QMutexLocker lock(&m_fetchedLock);
            m_fetchedCheck = check;
        }
        QMetaObject::invokeMethod(this, &AppDelegate::finishUpdateCheck, Qt::QueuedConnection);
    }));
    m_checker->setObjectName(QStringLiteral("update check"));
    m_checker->start();
    if (m_checker->wait(QDeadlineTimer(kQuickCheckMs)))
        finishUpdateCheck();
}

bool AppDelegate::isUpdateCheckActive() const
{
    return m_checking;
}

void AppDelegate::finishUpdateCheck()
{
    QMutexLocker lock(&m_fetchedLock);
    const std::optional<UpdateCheck> check = std::exchange(m_fetchedCheck, std::nullopt);
    lock.unlock();
    if (!check)
        return;
    m_checking = false;
    m_catalogueReady = applyUpdateCheck(*check);
    if (!m_configuration.firmwareFile.isEmpty())
        openFirmwareFile(m_configuration.firmwareFile);
    emit updateCheckFinished(m_catalogueReady);
}

bool AppDelegate::applyUpdateCheck(const UpdateCheck &check)
{
    if (!check.firmwareList) {
        updateUILog(updateCheckFailureText(check));
        return false;
    }
    // A run started from a file meanwhile reads the choice from its own
    // thread: the table and the choice stay as they are.
    if (m_worker) {
        updateUILog(updateCheckReadyText());
        return false;
    }
    fwList = check.firmwareList;

    QStringList names;
    for (const QVariant &entry : *fwList)
        names.append(*firmwareNameOf(entry));
    if (m_firmwareFile) {
        // A file opened while the check waited keeps its row, after the
        // catalogue's, and stays chosen.
        tableData() = names + QStringList{m_firmwareFile->name};
        m_firmwareFileRow = tableData().size() - 1;
        reloadData(m_tableView);
        selectRow(m_firmwareFileRow);
    } else {
        tableData().append(names);
        // The placeholder row goes only if the table is showing it.
        if (numberOfRows(m_tableView) > 0)
            tableData().removeFirst();
        reloadData(m_tableView);
        const qint64 rows = numberOfRows(m_tableView);
        if (rows < 2)
            setSelectedTableItemValue(names.last());
        // Selecting the row runs the selection handler, which records the
        // choice; a single row is not selected, only given the focus.
        selectRow(rows - 1);
    }
    if (m_buildButton)
        m_buildButton->setEnabled(true);
    updateUILog(updateCheckReadyText());
    return true;
}

void AppDelegate::selectRow(qint64 row)
{
    if (!m_tableView || row < 0)
        return;
    const QModelIndex index = m_tableView->model()->index(int(row), 0);
    m_tableView->scrollTo(index);
    // The current row is where the keyboard goes on from.
    m_tableView->selectionModel()->setCurrentIndex(
        index, numberOfRows(m_tableView) < 2
                   ? QItemSelectionModel::NoUpdate
                   : QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    m_tableView->setFocus(Qt::OtherFocusReason);
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
        m_tableData = QStringList{QStringLiteral("")};
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
    m_firmwareFileChosen = m_firmwareFile && row == m_firmwareFileRow;
    devLog(QStringLiteral("Selected table value: ") + selectedTableItemValue().value_or(QString()));
}

void AppDelegate::chooseFirmwareFile()
{
    if (m_worker)
        return;
    const QString path = QFileDialog::getOpenFileName(
        m_tableView ? m_tableView->window() : nullptr, QStringLiteral("Open Firmware File"),
        QString(), QStringLiteral("Intel HEX firmware (*.hex)"));
    if (!path.isEmpty())
        openFirmwareFile(path);
}

void AppDelegate::openFirmwareFile(const QString &path)
{
    // The run reads the choice from its own thread; it must not change under it.
    if (m_worker)
        return;
    FirmwareFileCheck check = readFirmwareFile(path);
    const QString line = firmwareFileLine(check);
    if (!check.file) {
        updateUILog(line);
        return;
    }

    QStringList &rows = tableData();
    if (m_firmwareFile) {
        rows[m_firmwareFileRow] = check.file->name; // a newer file takes the older one's row
    } else if (!m_catalogueReady) {
        rows = QStringList{check.file->name}; // instead of the blank placeholder
        m_firmwareFileRow = 0;
    } else {
        rows.append(check.file->name);
        m_firmwareFileRow = rows.size() - 1;
    }
    m_firmwareFile = std::move(check.file);
    reloadData(m_tableView);
    setSelectedTableItemValue(m_firmwareFile->name);
    m_firmwareFileChosen = true;
    if (m_tableView) {
        const QModelIndex row = m_tableView->model()->index(int(m_firmwareFileRow), 0);
        m_tableView->scrollTo(row);
        m_tableView->selectionModel()->setCurrentIndex(row, QItemSelectionModel::ClearAndSelect |
                                                                QItemSelectionModel::Rows);
    }
    updateUILog(line);
    if (m_buildButton)
        m_buildButton->setEnabled(true);
}

std::optional<FirmwareFile> AppDelegate::chosenFirmwareFile() const
{
    return m_firmwareFileChosen ? m_firmwareFile : std::nullopt;
}

void AppDelegate::setOpenFirmwareFileAction(QAction *action)
{
    if (m_openFirmwareFileAction)
        disconnect(m_openFirmwareFileAction, nullptr, this, nullptr);
    m_openFirmwareFileAction = action;
    if (action)
        connect(action, &QAction::triggered, this, &AppDelegate::chooseFirmwareFile);
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

QString AppDelegate::diagnosticReport()
{
    // Opening a device is harmless to a tool that waits for it, but not to one
    // that is programming it (on some systems an open takes the device over),
    // so during a run the devices are only listed.
    return ::diagnosticReport(gatherDiagnostics(
        *this, !isUpdateRunActive(), m_outputText ? m_outputText->toPlainText() : QString()));
}

void AppDelegate::copyDiagnosticReport()
{
    QGuiApplication::clipboard()->setText(diagnosticReport());
}

void AppDelegate::stopSpinner()
{
    // Widgets belong to the main thread; the stop is handed over in order.
    QMetaObject::invokeMethod(
        this, [this] { stopAnimation(m_spinner); }, Qt::QueuedConnection);
}
