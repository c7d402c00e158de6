#include "app/appdelegate.h"

#include "app/busyindicator.h"
#include "app/diagnosticreport.h"
#include "app/firmwaretablemodel.h"
#include "platform/devlog.h"

#include <QClipboard>
#include <QFileDialog>
#include <QGuiApplication>
#include <QItemSelectionModel>
#include <QScrollBar>
#include <QTextCursor>

#include <utility>

namespace {
// A catalogue that comes this quickly is in the window before its first
// paint, as if fetched on this thread; a slower one no longer holds it.
constexpr int kQuickCheckMs = 100;
} // namespace

AppDelegate::AppDelegate(Configuration configuration, QObject *parent)
    : QObject(parent), m_configuration(std::move(configuration)),
      m_runner(m_configuration.runSettings(), m_configuration.hoopSetup(), *this)
{
    connect(&m_check, &LaunchCheck::finished, this, &AppDelegate::applyUpdateCheck);
    // Queued: the run ends on its own thread, the window changes on this one.
    connect(&m_runner, &UpdateRunner::finished, this, &AppDelegate::updateRunEnded,
            Qt::QueuedConnection);
}

AppDelegate::~AppDelegate()
{
    // The application itself never gets here during a run or a check: it
    // ends the process first. Anyone else must let them finish, since both
    // write to the console through this object.
    m_check.wait(-1);
    m_runner.wait(-1);
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
    emit updateRunStarted();
    startAnimation(m_spinner);
    runScript();
}

void AppDelegate::runScript()
{
    // The catalogue is copied now: it was written on this thread and never changes again.
    m_runner.start(UpdateRequest{m_choice, fwList.value_or(QVariantList()), std::nullopt});
}

void AppDelegate::updateRunEnded(UpdateRunOutcome outcome)
{
    // A halted run keeps turning until the user restarts, as the console asks.
    if (outcome != UpdateRunOutcome::Halted)
        stopAnimation(m_spinner);
}

void AppDelegate::checkForUpdates()
{
    m_check.start(
        m_configuration.updateServerUrl, m_configuration.catalogueTrust,
        [this](const QString &text) { updateUILog(text); }, kQuickCheckMs);
}

void AppDelegate::applyUpdateCheck(const UpdateCheck &check)
{
    // A run started from a file meanwhile reads the choice from its own
    // thread: the table and the choice stay as they are.
    const bool ready = check.firmwareList && !m_runner.hasStarted();
    if (ready) {
        fwList = check.firmwareList;
        QStringList names;
        for (const QVariant &entry : *fwList)
            names.append(*firmwareNameOf(entry));
        if (m_offeredFile) {
            // A file opened while the check waited keeps its row, after the
            // catalogue's, and stays chosen.
            tableData() = names + QStringList{m_offeredFile->file.name};
            m_offeredFile->row = tableData().size() - 1;
            reloadData(m_tableView);
            selectRow(m_offeredFile->row);
        } else {
            tableData().append(names);
            // The placeholder row goes only if the table is showing it.
            if (numberOfRows(m_tableView) > 0)
                tableData().removeFirst();
            reloadData(m_tableView);
            const qint64 rows = numberOfRows(m_tableView);
            if (rows < 2)
                setSelectedTableItemValue(newestFirmwareName(*fwList));
            // Selecting the row runs the selection handler, which records the
            // choice; a single row is not selected, only given the focus.
            selectRow(rows - 1);
        }
        if (m_buildButton)
            m_buildButton->setEnabled(true);
    }
    if (check.firmwareList)
        updateUILog(updateCheckReadyText());
    if (!m_configuration.firmwareFile.isEmpty())
        openFirmwareFile(m_configuration.firmwareFile);
    emit updateCheckFinished(ready);
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

void AppDelegate::setSelectedTableItemValue(const std::optional<QString> &value)
{
    m_choice = value ? FirmwareChoice::entry(*value) : FirmwareChoice();
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
    if (m_offeredFile && row == m_offeredFile->row)
        m_choice = FirmwareChoice::file(m_offeredFile->file);
    else
        setSelectedTableItemValue(tableData().at(row));
    devLog(QStringLiteral("Selected table value: ") + selectedTableItemValue().value_or(QString()));
}

void AppDelegate::chooseFirmwareFile()
{
    if (m_runner.hasStarted())
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
    if (m_runner.hasStarted())
        return;
    std::optional<FirmwareFile> file =
        takeFirmwareFile(path, [this](const QString &line) { updateUILog(line); });
    if (!file)
        return;

    QStringList &rows = tableData();
    if (m_offeredFile) {
        rows[m_offeredFile->row] = file->name; // a newer file takes the older one's row
        m_offeredFile->file = *file;
    } else if (!fwList) {
        rows = QStringList{file->name}; // instead of the blank placeholder
        m_offeredFile = OfferedFile{*file, 0};
    } else {
        rows.append(file->name);
        m_offeredFile = OfferedFile{*file, rows.size() - 1};
    }
    m_choice = FirmwareChoice::file(std::move(*file));
    reloadData(m_tableView);
    if (m_tableView) {
        const QModelIndex row = m_tableView->model()->index(int(m_offeredFile->row), 0);
        m_tableView->scrollTo(row);
        m_tableView->selectionModel()->setCurrentIndex(row, QItemSelectionModel::ClearAndSelect |
                                                                QItemSelectionModel::Rows);
    }
    if (m_buildButton)
        m_buildButton->setEnabled(true);
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

void AppDelegate::diagnosticReport(const std::function<void(const QString &report)> &done)
{
    // Opening a device is harmless to a tool that waits for it, but not to one
    // that is programming it (on some systems an open takes the device over),
    // so during a run the devices are only listed.
    buildDiagnosticReport(m_configuration, !m_runner.isActive(),
                          m_outputText ? m_outputText->toPlainText() : QString(), this, done);
}

void AppDelegate::copyDiagnosticReport()
{
    diagnosticReport([](const QString &report) { QGuiApplication::clipboard()->setText(report); });
}
