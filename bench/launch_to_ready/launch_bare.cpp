// The baseline: a bare Qt program that shows the application's own window
// form (the four controls and the menu bar, from resources/mainwindow.ui) with
// three rows in the table, and prints "ready" once its event loop has run.

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
    QStandardItemModel model(3, 1);
    form.tableView->setModel(&model);
    window.show();
    QTimer::singleShot(0, [&form] {
        form.buildButton->setEnabled(true);
        std::puts("ready");
        std::fflush(stdout);
        QCoreApplication::exit(0);
    });
    return app.exec();
}
