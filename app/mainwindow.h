#pragma once

#include <QMainWindow>
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
    void connectOutlets(AppDelegate &delegate) const;

    // Writes the console's text to `path`; a failure is shown in a message box.
    bool saveLogTo(const QString &path);

private:
    void saveLog();
    void showAbout();

    std::unique_ptr<Ui::MainWindow> m_ui;
    bool m_consoleAtEnd = true;
};
