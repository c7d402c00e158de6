// The baseline: a bare Qt program that shows the application's own window
// form (the four controls and the menu bar, from resources/mainwindow.ui) with
// the table's three rows, and prints "ready" once its event loop has run.

#include "ui_mainwindow.h"

#include <QApplication>
#include <QMainWindow>
#include <QStandardItemModel>
#include <QTimer>

#include <cstdio>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QMainWindow window;
    Ui::MainWindow form;
    form.setupUi(&window);
    // The rows and the header the application shows for the served catalogue.
    QStandardItemModel model;
    model.setHorizontalHeaderLabels({QStringLiteral("Firmware")});
    for (const char *name : {"hoop-1", "hoop-2", "hoop-3"})
        model.appendRow(new QStandardItem(QString::fromLatin1(name)));
    form.tableView->setModel(&model);
    form.tableView->selectRow(2);
    window.show();
    QTimer::singleShot(0, [&form] {
        form.buildButton->setEnabled(true);
        std::puts("ready");
        std::fflush(stdout);
        QCoreApplication::exit(0);
    });
    return app.exec();
}
