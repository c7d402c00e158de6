#include "app/mainwindow.h"

#include "app/appdelegate.h"
#include "app/busyindicator.h"
#include "ui_mainwindow.h"

#include <QFontDatabase>
#include <QHeaderView>
#include <QSizePolicy>

MainWindow::MainWindow(QWidget *parent) : QMainWindow(parent), m_ui(new Ui::MainWindow)
{
    m_ui->setupUi(this);
    m_ui->outputText->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    m_ui->outputText->setMaximumBlockCount(0);
    // The stopped indicator is hidden but keeps its place, so the layout never jumps.
    QSizePolicy policy = m_ui->spinner->sizePolicy();
    policy.setRetainSizeWhenHidden(true);
    m_ui->spinner->setSizePolicy(policy);
    stopAnimation(m_ui->spinner);
}

MainWindow::~MainWindow() = default;

QPlainTextEdit *MainWindow::outputText() const { return m_ui->outputText; }
QTableView *MainWindow::tableView() const { return m_ui->tableView; }
QProgressBar *MainWindow::spinner() const { return m_ui->spinner; }
QPushButton *MainWindow::buildButton() const { return m_ui->buildButton; }

void MainWindow::connectOutlets(AppDelegate &delegate) const
{
    delegate.setOutputText(m_ui->outputText);
    delegate.setBuildButton(m_ui->buildButton);
    delegate.setTableView(m_ui->tableView);
    delegate.setSpinner(m_ui->spinner);
}
