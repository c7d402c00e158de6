#pragma once

#include <QMainWindow>
#include <QMessageBox>
#include <QPointer>

#include <memory>

namespace Ui {
class MainWindow;
}
class AppDelegate;
class QAction;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QTableView;

// The one window, built from resources/mainwindow.ui. It only lays out the four
// controls and the menu bar; the controller does everything with them.
class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

    QPlainTextEdit *outputText() const;
    QTableView *tableView() const;
    QProgressBar *spinner() const;
    QPushButton *buildButton() const;

    // The menu bar's commands; the window itself handles Save Log, About and Quit.
    QAction *openFirmwareFileAction() const;
    QAction *copyDiagnosticReportAction() const;

    // Hands the four controls to the controller through its outlet setters,
    // and the commands that act on it.
    void connectOutlets(AppDelegate &delegate);

    // Writes the console's text to `path`; a failure is shown in a message box.
    bool saveLogTo(const QString &path);
    // Builds the diagnostic report and writes it to `path` in the same way.
    void saveDiagnosticReportTo(const QString &path);

protected:
    // Closing (Quit included) ends the program at once, except while the hoop
    // is being programmed: then it asks, and at most quits once it is done.
    void closeEvent(QCloseEvent *event) override;

private:
    // Asks where to save, starting from the documents directory; empty when cancelled.
    QString askSavePath(const QString &title, const QString &fileName);
    void saveLog();
    void saveDiagnosticReport();
    bool saveTextTo(const QString &path, const QString &text, const QString &title,
                    const QString &what);
    void askToQuitWhenProgrammed();
    void showAbout();

    std::unique_ptr<Ui::MainWindow> m_ui;
    bool m_consoleAtEnd = true;
    AppDelegate *m_delegate = nullptr;
    QPointer<QMessageBox> m_quitQuestion;
};

class UpdateRunner;

// The window's one rule for a request to quit (its Quit, a close, a signal):
// at once outside programming, with `status`; during it, once the hoop is
// done, with one line in the console the first time.
void quitWhenProgrammed(UpdateRunner &runner, AppDelegate &delegate, int status);
