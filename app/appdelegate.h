#pragma once

#include "app/runhost.h"
#include "catalogue/updatecheck.h"
#include "update/firmwarefile.h"

#include <QAction>
#include <QMutex>
#include <QObject>
#include <QPlainTextEdit>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QString>
#include <QStringList>
#include <QTableView>
#include <QThread>

#include <atomic>
#include <memory>
#include <optional>

// The application's one controller: it holds the window's four controls and the
// state they show, and carries the application's operations. The operations are
// thin entry points; the work lives in the units of catalogue/ and update/, and
// the hoop's side of the update run is shared with the terminal (runhost.h).
class AppDelegate : public QObject, public ConfiguredRunHost
{
    Q_OBJECT

public:
    explicit AppDelegate(Configuration configuration, QObject *parent = nullptr);
    ~AppDelegate() override;

    // Application life.
    void applicationDidFinishLaunching();
    bool applicationShouldTerminateAfterLastWindowClosed() const { return true; }
    void startTask();
    void stopTask();
    void runScript();
    // Starts the catalogue check on a thread of its own, so the window paints
    // and its menu works while the server is slow; the result reaches the
    // table and the console on this thread, as updateCheckFinished. A result
    // that comes within a tenth of a second is applied at once.
    void checkForUpdates();
    // True from checkForUpdates until its result has been applied.
    bool isUpdateCheckActive() const;

    // The log console: may be called from any thread, never waits.
    void updateUILog(const QString &text) override;

    // Firmware table data source and delegate.
    QStringList &tableData();
    void setTableData(const QStringList &rows);
    // Nothing until a firmware is chosen; the placeholder row chooses "".
    std::optional<QString> selectedTableItemValue() const override
    {
        return m_selectedTableItemValue;
    }
    void setSelectedTableItemValue(const std::optional<QString> &value)
    {
        m_selectedTableItemValue = value;
    }
    qint64 numberOfRowsInTableView(QTableView *view);
    QString tableViewObjectValueForTableColumnRow(QTableView *view, int column, qint64 row);
    // The full path of the file from disk a row stands for; nothing for a catalogue row.
    std::optional<QString> firmwareFilePathOfRow(qint64 row) const
    {
        return m_firmwareFile && row == m_firmwareFileRow ? std::optional(m_firmwareFile->path)
                                                          : std::nullopt;
    }
    void tableViewSelectionDidChange(QTableView *view);

    // A firmware file from disk as a second source. Opening checks the file
    // and, if it passes, adds its row and chooses it; a refused file changes
    // nothing but the log. Both do nothing once a run has started.
    void chooseFirmwareFile(); // asks with a file dialog
    void openFirmwareFile(const QString &path);
    std::optional<FirmwareFile> chosenFirmwareFile() const override;
    // "Open Firmware File…": wired here, disabled when a run starts.
    void setOpenFirmwareFileAction(QAction *action);

    // Fields and outlets.
    bool isRunning() const { return m_isRunning.load(); }
    void setIsRunning(bool running) override { m_isRunning.store(running); }
    QTableView *tableView() const { return m_tableView; }
    void setTableView(QTableView *view);
    QPlainTextEdit *outputText() const { return m_outputText; }
    void setOutputText(QPlainTextEdit *console) { m_outputText = console; }
    QProgressBar *spinner() const { return m_spinner; }
    void setSpinner(QProgressBar *spinner) { m_spinner = spinner; }
    QPushButton *buildButton() const { return m_buildButton; }
    void setBuildButton(QPushButton *button);

    // "Help > Copy Diagnostic Report": the report as plain text, and on the clipboard.
    QString diagnosticReport();
    void copyDiagnosticReport();

    // True from runScript until the run's thread has finished (a halted run
    // has finished too, though isRunning stays true).
    bool isUpdateRunActive() const;
    // Blocks until the run's thread has finished; for tests and tools.
    bool waitForUpdateRun(int milliseconds);
    UpdateRunOutcome lastRunOutcome() const { return m_lastOutcome.load(); }

signals:
    // The check's result is in the table and the console; ready when the
    // catalogue gave firmware to choose from.
    void updateCheckFinished(bool ready);

private:
    void finishUpdateCheck();
    bool applyUpdateCheck(const UpdateCheck &check);
    void appendToConsole(const QString &piece);
    void selectRow(qint64 row);
    void stopSpinner() override;

    std::atomic<bool> m_isRunning{false};
    QPointer<QTableView> m_tableView;
    QPointer<QPlainTextEdit> m_outputText;
    QPointer<QProgressBar> m_spinner;
    QPointer<QPushButton> m_buildButton;
    std::optional<QStringList> m_tableData;
    std::optional<QString> m_selectedTableItemValue;
    std::unique_ptr<QThread> m_worker;
    std::unique_ptr<QThread> m_checker;
    bool m_checking = false;
    QMutex m_fetchedLock; // the fetch's result, handed over from its thread
    std::optional<UpdateCheck> m_fetchedCheck;
    bool m_catalogueReady = false;
    QPointer<QAction> m_openFirmwareFileAction;
    // The file's row is known by its index: a file may be named like an entry.
    std::optional<FirmwareFile> m_firmwareFile;
    qint64 m_firmwareFileRow = -1;
    bool m_firmwareFileChosen = false;
    std::atomic<UpdateRunOutcome> m_lastOutcome{UpdateRunOutcome::Aborted};
};
