#pragma once

#include "app/configuration.h"

#include <QMutex>
#include <QObject>
#include <QPlainTextEdit>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QString>
#include <QStringList>
#include <QTableView>

#include <atomic>
#include <optional>

// The application's one controller: it holds the window's four controls and the
// state they show, and carries the application's operations. The operations are
// thin entry points; the work lives in the units of catalogue/ and update/.
class AppDelegate : public QObject
{
    Q_OBJECT

public:
    explicit AppDelegate(Configuration configuration, QObject *parent = nullptr);
    ~AppDelegate() override;

    const Configuration &configuration() const { return m_configuration; }

    // Application life.
    void applicationDidFinishLaunching();
    bool applicationShouldTerminateAfterLastWindowClosed() const { return true; }
    void startTask();
    void stopTask();
    void runScript();
    bool checkForUpdates();

    // The log console: may be called from any thread, never waits.
    void updateUILog(const QString &text);

    // Firmware table data source and delegate.
    QStringList &tableData();
    void setTableData(const QStringList &rows);
    // A null string stands for "nothing chosen yet".
    QString selectedTableItemValue() const { return m_selectedTableItemValue; }
    void setSelectedTableItemValue(const QString &value) { m_selectedTableItemValue = value; }
    qint64 numberOfRowsInTableView(QTableView *view);
    QString tableViewObjectValueForTableColumnRow(QTableView *view, int column, qint64 row);
    void tableViewSelectionDidChange(QTableView *view);

    // Fields and outlets.
    bool isRunning() const { return m_isRunning.load(); }
    void setIsRunning(bool running) { m_isRunning.store(running); }
    QTableView *tableView() const { return m_tableView; }
    void setTableView(QTableView *view);
    QPlainTextEdit *outputText() const { return m_outputText; }
    void setOutputText(QPlainTextEdit *console) { m_outputText = console; }
    QProgressBar *spinner() const { return m_spinner; }
    void setSpinner(QProgressBar *spinner) { m_spinner = spinner; }
    QPushButton *buildButton() const { return m_buildButton; }
    void setBuildButton(QPushButton *button);
    // A null string stands for "no tool path".
    QString dfuToolPath() const;
    void setDfuToolPath(const QString &path);

private:
    void appendToConsole(const QString &piece);

    const Configuration m_configuration;
    std::atomic<bool> m_isRunning{false};
    QPointer<QTableView> m_tableView;
    QPointer<QPlainTextEdit> m_outputText;
    QPointer<QProgressBar> m_spinner;
    QPointer<QPushButton> m_buildButton;
    std::optional<QStringList> m_tableData;
    QString m_selectedTableItemValue;
    mutable QMutex m_dfuToolPathLock;
    QString m_dfuToolPath;
};
