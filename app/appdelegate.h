#pragma once

#include "app/configuration.h"
#include "catalogue/launchcheck.h"
#include "update/firmwarechoice.h"
#include "update/updaterunner.h"

#include <QObject>
#include <QPlainTextEdit>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QString>
#include <QStringList>
#include <QTableView>

#include <functional>
#include <optional>

// The application's one controller: it holds the window's four controls and the
// state they show, and carries the application's operations. The operations are
// thin entry points: the launch check, the update run and the report are units
// of their own, which the terminal uses too.
class AppDelegate : public QObject, private RunObserver
{
    Q_OBJECT

public:
    explicit AppDelegate(Configuration configuration, QObject *parent = nullptr);
    ~AppDelegate() override;

    // Application life.
    void applicationDidFinishLaunching();
    bool applicationShouldTerminateAfterLastWindowClosed() const { return true; }
    void startTask();
    void runScript();
    // Starts the catalogue check; its result reaches the table and the
    // console on this thread, as updateCheckFinished.
    void checkForUpdates();

    // The log console: may be called from any thread, never waits.
    void updateUILog(const QString &text) override;

    // Firmware table data source and delegate.
    QStringList &tableData();
    // Nothing until a firmware is chosen; the placeholder row chooses "".
    std::optional<QString> selectedTableItemValue() const { return m_choice.name(); }
    void setSelectedTableItemValue(const std::optional<QString> &value);
    qint64 numberOfRowsInTableView(QTableView *view);
    QString tableViewObjectValueForTableColumnRow(QTableView *view, int column, qint64 row);
    // The full path of the file from disk a row stands for; nothing for a catalogue row.
    std::optional<QString> firmwareFilePathOfRow(qint64 row) const
    {
        return m_offeredFile && row == m_offeredFile->row ? std::optional(m_offeredFile->file.path)
                                                          : std::nullopt;
    }
    void tableViewSelectionDidChange(QTableView *view);

    // A firmware file from disk as a second source. Opening checks the file
    // and, if it passes, adds its row and chooses it; a refused file changes
    // nothing but the log. Both do nothing once a run has started.
    void chooseFirmwareFile(); // asks with a file dialog
    void openFirmwareFile(const QString &path);
    const FirmwareChoice &firmwareChoice() const { return m_choice; }

    // Fields and outlets.
    bool isRunning() const { return m_runner.isRunning(); }
    QTableView *tableView() const { return m_tableView; }
    void setTableView(QTableView *view);
    QPlainTextEdit *outputText() const { return m_outputText; }
    void setOutputText(QPlainTextEdit *console) { m_outputText = console; }
    QProgressBar *spinner() const { return m_spinner; }
    void setSpinner(QProgressBar *spinner) { m_spinner = spinner; }
    QPushButton *buildButton() const { return m_buildButton; }
    void setBuildButton(QPushButton *button);

    // The diagnostic report as plain text, built off this thread and handed
    // to `done` here; "Help > Copy Diagnostic Report" puts it on the clipboard.
    void diagnosticReport(const std::function<void(const QString &report)> &done);
    void copyDiagnosticReport();

    // The units that carry the check and the run.
    LaunchCheck &launchCheck() { return m_check; }
    UpdateRunner &updateRunner() { return m_runner; }
    const UpdateRunner &updateRunner() const { return m_runner; }

signals:
    // The check's result is in the table and the console; ready when the
    // catalogue gave firmware to choose from.
    void updateCheckFinished(bool ready);
    // "Update Firmware" was pressed: nothing may change the choice any more.
    void updateRunStarted();

private:
    // A file from disk in the table: known by its row, since it may be named
    // like a catalogue entry.
    struct OfferedFile
    {
        FirmwareFile file;
        qint64 row = -1;
    };

    void applyUpdateCheck(const UpdateCheck &check);
    void updateRunEnded(UpdateRunOutcome outcome);
    void appendToConsole(const QString &piece);
    void selectRow(qint64 row);

    const Configuration m_configuration;
    QPointer<QTableView> m_tableView;
    QPointer<QPlainTextEdit> m_outputText;
    QPointer<QProgressBar> m_spinner;
    QPointer<QPushButton> m_buildButton;
    std::optional<QStringList> m_tableData;
    FirmwareChoice m_choice;
    std::optional<OfferedFile> m_offeredFile;
    LaunchCheck m_check;
    UpdateRunner m_runner;
};
