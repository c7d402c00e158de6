#include "app/mainwindow.h"

#include "app/appdelegate.h"
#include "app/busyindicator.h"
#include "ui_mainwindow.h"

#include <QAction>
#include <QFontDatabase>
#include <QHeaderView>
#include <QSizePolicy>

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
    // Quitting is closing the window, with everything that closing does.
    connect(m_ui->actionQuit, &QAction::triggered, this, &QWidget::close);
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
QAction *MainWindow::saveLogAction() const
{
    return m_ui->actionSaveLog;
}
QAction *MainWindow::copyDiagnosticReportAction() const
{
    return m_ui->actionCopyDiagnosticReport;
}
QAction *MainWindow::aboutAction() const
{
    return m_ui->actionAbout;
}

void MainWindow::connectOutlets(AppDelegate &delegate) const
{
    delegate.setOutputText(m_ui->outputText);
    delegate.setBuildButton(m_ui->buildButton);
    delegate.setTableView(m_ui->tableView);
    delegate.setSpinner(m_ui->spinner);
    connect(m_ui->actionCopyDiagnosticReport, &QAction::triggered, &delegate,
            &AppDelegate::copyDiagnosticReport);
    delegate.setOpenFirmwareFileAction(m_ui->actionOpenFirmwareFile);
}
