#include "app/mainwindow.h"

#include "app/appdelegate.h"
#include "app/buildconfig.h"
#include "app/busyindicator.h"
#include "app/logfile.h"
#include "platform/leftovers.h"
#include "ui_mainwindow.h"

#include <QAction>
#include <QCloseEvent>
#include <QDir>
#include <QFileDialog>
#include <QFontDatabase>
#include <QHeaderView>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QSizePolicy>
#include <QStandardPaths>

#include <cstdio>
#include <cstdlib>

// The platform's fixed-width font; some platforms answer with a proportional
// one, so fall back to whatever fixed-pitch family exists. The font database,
// already filled by the time the window is built, knows which families are
// fixed pitch; measuring glyphs instead would load them at every start.
static QFont consoleFont()
{
    QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    if (QFontDatabase::isFixedPitch(font.family()))
        return font;
    font.setFamily(QStringLiteral("monospace"));
    font.setStyleHint(QFont::TypeWriter);
    font.setFixedPitch(true);
    return font;
}

MainWindow::MainWindow(QWidget *parent) : QMainWindow(parent), m_ui(new Ui::MainWindow)
{
    m_ui->setupUi(this);
    m_ui->outputText->setFont(consoleFont());
    m_ui->outputText->setMaximumBlockCount(0);
    // The stopped indicator is hidden but keeps its place, so the layout never jumps.
    QSizePolicy policy = m_ui->spinner->sizePolicy();
    policy.setRetainSizeWhenHidden(true);
    m_ui->spinner->setSizePolicy(policy);
    stopAnimation(m_ui->spinner);
    // A console showing its last line keeps showing it when a resize wraps
    // its lines anew; one scrolled back by the reader stays where it is.
    QScrollBar *bar = m_ui->outputText->verticalScrollBar();
    connect(bar, &QScrollBar::valueChanged, this,
            [this, bar](int value) { m_consoleAtEnd = value == bar->maximum(); });
    connect(bar, &QScrollBar::rangeChanged, this, [this, bar](int, int maximum) {
        if (m_consoleAtEnd)
            bar->setValue(maximum);
    });
    // Quitting is closing the window, with everything that closing does.
    connect(m_ui->actionQuit, &QAction::triggered, this, &QWidget::close);
    connect(m_ui->actionSaveLog, &QAction::triggered, this, &MainWindow::saveLog);
    connect(m_ui->actionAbout, &QAction::triggered, this, &MainWindow::showAbout);
}

MainWindow::~MainWindow() = default;

QPlainTextEdit *MainWindow::outputText() const
{
    return m_ui->outputText;
}
QTableView *MainWindow::tableView() const
{
    return m_ui->tableView;
}
QProgressBar *MainWindow::spinner() const
{
    return m_ui->spinner;
}
QPushButton *MainWindow::buildButton() const
{
    return m_ui->buildButton;
}

QAction *MainWindow::openFirmwareFileAction() const
{
    return m_ui->actionOpenFirmwareFile;
}
QAction *MainWindow::copyDiagnosticReportAction() const
{
    return m_ui->actionCopyDiagnosticReport;
}

void MainWindow::connectOutlets(AppDelegate &delegate)
{
    m_delegate = &delegate;
    delegate.setOutputText(m_ui->outputText);
    delegate.setBuildButton(m_ui->buildButton);
    delegate.setTableView(m_ui->tableView);
    delegate.setSpinner(m_ui->spinner);
    connect(m_ui->actionCopyDiagnosticReport, &QAction::triggered, &delegate,
            &AppDelegate::copyDiagnosticReport);
    connect(m_ui->actionSaveDiagnosticReport, &QAction::triggered, this,
            &MainWindow::saveDiagnosticReport);
    QAction *open = m_ui->actionOpenFirmwareFile;
    connect(open, &QAction::triggered, &delegate, &AppDelegate::chooseFirmwareFile);
    // The choice can't change under a run.
    connect(&delegate, &AppDelegate::updateRunStarted, open, [open] { open->setEnabled(false); });
}

QString MainWindow::askSavePath(const QString &title, const QString &fileName)
{
    const QString suggested =
        QDir(QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation))
            .filePath(fileName);
    return QFileDialog::getSaveFileName(this, title, suggested,
                                        tr("Text files (*.txt);;All files (*)"));
}

void MainWindow::saveLog()
{
    const QString path = askSavePath(tr("Save Log"), QStringLiteral("hoop-updater-log.txt"));
    if (!path.isEmpty())
        saveLogTo(path);
}

bool MainWindow::saveLogTo(const QString &path)
{
    return saveTextTo(path, m_ui->outputText->toPlainText(), tr("Save Log"), tr("The log"));
}

void MainWindow::saveDiagnosticReport()
{
    const QString path =
        askSavePath(tr("Save Diagnostic Report"), QStringLiteral("hoop-updater-report.txt"));
    if (!path.isEmpty())
        saveDiagnosticReportTo(path);
}

void MainWindow::saveDiagnosticReportTo(const QString &path)
{
    if (!m_delegate)
        return;
    m_delegate->diagnosticReport([this, path](const QString &report) {
        saveTextTo(path, report, tr("Save Diagnostic Report"), tr("The diagnostic report"));
    });
}

bool MainWindow::saveTextTo(const QString &path, const QString &text, const QString &title,
                            const QString &what)
{
    const std::optional<QString> error = writeLogFile(path, text);
    if (!error)
        return true;
    // Window-modal and without a nested event loop: the caller goes on at once.
    auto *box = new QMessageBox(
        QMessageBox::Warning, title,
        tr("%1 could not be saved to %2.").arg(what, QDir::toNativeSeparators(path)),
        QMessageBox::Ok, this);
    box->setInformativeText(*error);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->open();
    return false;
}

namespace {

// Ends the process where it stands: the run's thread must not begin to
// program the hoop while the program winds down.
void exitNow()
{
    exitProcess(0);
}

} // namespace

void MainWindow::closeEvent(QCloseEvent *event)
{
    UpdateRunner *runner = m_delegate ? &m_delegate->updateRunner() : nullptr;
    if (!runner || !runner->isActive() || runner->quitUnlessProgramming(exitNow)) {
        QMainWindow::closeEvent(event);
        return;
    }
    event->ignore();
    askToQuitWhenProgrammed();
}

void MainWindow::askToQuitWhenProgrammed()
{
    if (m_quitQuestion)
        return; // asked already
    // No button cuts the write short: the hoop would be left without firmware.
    auto *box = new QMessageBox(QMessageBox::Warning, tr("Quit"),
                                tr("The hoop is being programmed."), QMessageBox::NoButton, this);
    box->setInformativeText(tr("Quitting now would leave it without firmware until it is "
                               "updated again. The program can quit as soon as the hoop is done."));
    QPushButton *keepGoing = box->addButton(tr("&Keep Going"), QMessageBox::RejectRole);
    QPushButton *quitWhenDone = box->addButton(tr("&Quit When Done"), QMessageBox::AcceptRole);
    box->setDefaultButton(keepGoing);
    box->setEscapeButton(keepGoing);
    box->setAttribute(Qt::WA_DeleteOnClose);
    connect(quitWhenDone, &QPushButton::clicked, this, [this] {
        if (m_delegate)
            quitWhenProgrammed(m_delegate->updateRunner(), *m_delegate, 0);
    });
    m_quitQuestion = box;
    box->open();
}

void quitWhenProgrammed(UpdateRunner &runner, AppDelegate &delegate, int status)
{
    const auto now = [status] {
        exitProcess(status);
    };
    const auto later = [status] {
        QMetaObject::invokeMethod(
            qApp, [status] { QCoreApplication::exit(status); }, Qt::QueuedConnection);
    };
    if (runner.requestQuit(now, later) == UpdateRunner::Quit::Deferred)
        delegate.updateUILog(QStringLiteral("Quitting as soon as the hoop is programmed.\n"));
}

void MainWindow::showAbout()
{
    QMessageBox::about(this, tr("About Vexlume Hoop Updater"),
                       tr("Vexlume Hoop Updater %1\n\n"
                          "Installs new firmware on the Vexlume Hoop over USB.\n\n"
                          "Built with Qt %2, running on Qt %3.")
                           .arg(QStringLiteral(HOOP_VERSION), QStringLiteral(QT_VERSION_STR),
                                QString::fromLatin1(qVersion())));
}
