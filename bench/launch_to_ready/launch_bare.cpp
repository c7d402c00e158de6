// The baseline: a bare Qt program that shows a window with the same four
// controls and prints "ready" once its event loop has run.

#include <QApplication>
#include <QHBoxLayout>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QStandardItemModel>
#include <QTableView>
#include <QTimer>
#include <QVBoxLayout>

#include <cstdio>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QWidget window;
    auto *console = new QPlainTextEdit(&window);
    console->setReadOnly(true);
    auto *table = new QTableView(&window);
    QStandardItemModel model(3, 1);
    table->setModel(&model);
    auto *spinner = new QProgressBar(&window);
    spinner->setRange(0, 0);
    auto *button = new QPushButton(QStringLiteral("Update Firmware"), &window);
    auto *side = new QVBoxLayout;
    side->addWidget(table);
    side->addWidget(spinner);
    side->addWidget(button);
    auto *layout = new QHBoxLayout(&window);
    layout->addWidget(console, 3);
    layout->addLayout(side, 1);
    window.show();
    QTimer::singleShot(0, [] {
        std::puts("ready");
        std::fflush(stdout);
        QCoreApplication::exit(0);
    });
    return app.exec();
}
