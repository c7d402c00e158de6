// The application shell: the controller's window states and the log console.

#include "app/appdelegate.h"
#include "app/busyindicator.h"
#include "app/mainwindow.h"
#include "devlogcapture.h"

#include <QApplication>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QTableView>
#include <QTest>
#include <QThread>
#include <QTimer>

namespace {

// No update server answers on port 1 of loopback: the check fails at once.
Configuration unreachableServer()
{
    Configuration config;
    config.updateServerUrl = QStringLiteral("http://127.0.0.1:1");
    config.bundleId = QStringLiteral("org.example.hoop-updater-test");
    config.mountRoots = {QDir::tempPath() + QStringLiteral("/no-such-mount-root")};
    config.resourceDir = QDir::tempPath() + QStringLiteral("/no-such-resources");
    config.tempDir = QDir::tempPath();
    return config;
}

struct Shell
{
    AppDelegate delegate{unreachableServer()};
    MainWindow window;
    Shell() { window.connectOutlets(delegate); }
    QString console() const { return window.outputText()->toPlainText(); }
};

// Lets every queued console append run.
void drainEvents()
{
    for (int i = 0; i < 5; ++i)
        QCoreApplication::processEvents(QEventLoop::AllEvents);
}

struct ControlState
{
    bool buttonEnabled, tableEnabled, animating, running;
    bool operator==(const ControlState &) const = default;
};

ControlState stateOf(const Shell &shell)
{
    return {shell.window.buildButton()->isEnabled(), shell.window.tableView()->isEnabled(),
            isAnimating(shell.window.spinner()), shell.delegate.isRunning()};
}

} // namespace

class TestAppShell : public QObject
{
    Q_OBJECT

private slots:
    void windowHasItsControls();
    void launchClearsBeforeQueuedPieces();
    void launchLeavesButtonDisabledWhenCheckFails();
    void piecesAreShownLiterally_data();
    void piecesAreShownLiterally();
    void mainThreadPiecesWaitForTheEventLoop();
    void workerPiecesKeepCallOrder();
    void devLogGetsEveryPieceFirst();
    void endOfTextStaysInView();
    void startTaskEntersRunning();
    void stopTaskChangesNothing();
    void placeholderRowBeforeAnyCheck();
    void closingTheWindowEndsTheEventLoop();
};

void TestAppShell::windowHasItsControls()
{
    Shell shell;
    QCOMPARE(shell.window.windowTitle(), QStringLiteral("Vexlume Hoop Updater"));
    QCOMPARE(shell.window.buildButton()->text(), QStringLiteral("Update Firmware"));
    QVERIFY(shell.window.outputText()->isReadOnly());
    const QFontMetrics metrics(shell.window.outputText()->font());
    QCOMPARE(metrics.horizontalAdvance(QLatin1Char('i')),
             metrics.horizontalAdvance(QLatin1Char('W')));
    QCOMPARE(shell.delegate.outputText(), shell.window.outputText());
    QCOMPARE(shell.delegate.tableView(), shell.window.tableView());
    QCOMPARE(shell.delegate.spinner(), shell.window.spinner());
    QCOMPARE(shell.delegate.buildButton(), shell.window.buildButton());
    QVERIFY(!isAnimating(shell.window.spinner()));

    // The console is the part that grows with the window.
    shell.window.resize(600, 400);
    shell.window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&shell.window));
    const QSize before = shell.window.outputText()->size();
    shell.window.resize(1000, 800);
    QTRY_VERIFY(shell.window.outputText()->width() > before.width());
    QVERIFY(shell.window.outputText()->height() > before.height());
}

void TestAppShell::launchClearsBeforeQueuedPieces()
{
    Shell shell;
    shell.window.outputText()->setPlainText(QStringLiteral("left over from the layout"));
    shell.delegate.updateUILog(QStringLiteral("early piece\n"));
    shell.delegate.applicationDidFinishLaunching();
    QCOMPARE(shell.console(), QString()); // cleared at once, nothing appended yet
    drainEvents();
    QVERIFY(shell.console().startsWith(QStringLiteral("early piece\n")));
    QVERIFY(!shell.console().contains(QStringLiteral("left over")));
}

void TestAppShell::launchLeavesButtonDisabledWhenCheckFails()
{
    Shell shell;
    shell.window.buildButton()->setEnabled(true);
    shell.delegate.applicationDidFinishLaunching();
    drainEvents();
    QVERIFY(!shell.window.buildButton()->isEnabled());
    QVERIFY(shell.window.tableView()->isEnabled());
    QVERIFY(!isAnimating(shell.window.spinner()));
    QVERIFY(!shell.delegate.isRunning());
}

void TestAppShell::piecesAreShownLiterally_data()
{
    QTest::addColumn<QStringList>("pieces");
    QTest::addColumn<QString>("shown");

    QTest::newRow("continued on the same line")
        << QStringList{"Checking for hoop in DFU mode... ", "Detected.\n"}
        << QStringLiteral("Checking for hoop in DFU mode... Detected.\n");
    QTest::newRow("format sequences")
        << QStringList{"100% %@ %s %d %n %%\n", "%@"} << QStringLiteral("100% %@ %s %d %n %%\n%@");
    QTest::newRow("several lines in one piece")
        << QStringList{"one\ntwo\n\nfour\n"} << QStringLiteral("one\ntwo\n\nfour\n");
    QTest::newRow("mixed scripts")
        << QStringList{"Ünïcödé ✓ 日本語 עברית العربية 🙂\n"}
        << QStringLiteral("Ünïcödé ✓ 日本語 עברית العربية 🙂\n");
    const QString lone = QString(QChar(0xD800)) + QStringLiteral("x\n"); // unpaired surrogate
    QTest::newRow("invalid UTF-16") << QStringList{lone} << lone;
    const QString longLine(200000, QLatin1Char('x'));
    QTest::newRow("very long line") << QStringList{longLine, "\n"} << longLine + "\n";
    QTest::newRow("empty pieces") << QStringList{"", "a", "", "b"} << QStringLiteral("ab");
}

void TestAppShell::piecesAreShownLiterally()
{
    QFETCH(QStringList, pieces);
    QFETCH(QString, shown);
    Shell shell;
    DevLogCapture log;
    for (const QString &piece : pieces)
        shell.delegate.updateUILog(piece);
    drainEvents();
    QCOMPARE(shell.console(), shown);
    QCOMPARE(log.lines(), pieces);
}

void TestAppShell::mainThreadPiecesWaitForTheEventLoop()
{
    Shell shell;
    // A long main-thread operation that logs as it goes, like the launch check.
    for (int i = 0; i < 50; ++i) {
        shell.delegate.updateUILog(QStringLiteral("step %1\n").arg(i));
        QThread::msleep(1);
        QCOMPARE(shell.console(), QString());
    }
    drainEvents();
    QString expected;
    for (int i = 0; i < 50; ++i)
        expected += QStringLiteral("step %1\n").arg(i);
    QCOMPARE(shell.console(), expected);
}

void TestAppShell::workerPiecesKeepCallOrder()
{
    Shell shell;
    DevLogCapture quiet;
    QString expected;
    for (int i = 0; i < 2000; ++i)
        expected += QString::number(i) + (i % 7 ? QStringLiteral(" ") : QStringLiteral("\n"));

    std::unique_ptr<QThread> worker(QThread::create([&shell] {
        for (int i = 0; i < 2000; ++i)
            shell.delegate.updateUILog(QString::number(i) +
                                       (i % 7 ? QStringLiteral(" ") : QStringLiteral("\n")));
    }));
    worker->start();
    // The main thread is busy and lets the queue run only now and then.
    while (!worker->wait(2))
        QCoreApplication::processEvents();
    drainEvents();
    QCOMPARE(shell.console(), expected);
}

void TestAppShell::devLogGetsEveryPieceFirst()
{
    Shell shell;
    DevLogCapture log;
    QStringList consoleAtLogTime;
    log.setHook([&](const QString &) { consoleAtLogTime.append(shell.console()); });

    shell.delegate.updateUILog(QStringLiteral("first "));
    drainEvents();
    shell.delegate.updateUILog(QStringLiteral("second\n"));
    shell.delegate.updateUILog(QStringLiteral("third %@\n"));
    drainEvents();

    QCOMPARE(log.lines(), (QStringList{"first ", "second\n", "third %@\n"}));
    // Each copy was written before the console showed its piece.
    QCOMPARE(consoleAtLogTime, (QStringList{"", "first ", "first "}));
    QCOMPARE(shell.console(), QStringLiteral("first second\nthird %@\n"));
}

void TestAppShell::endOfTextStaysInView()
{
    Shell shell;
    shell.window.resize(640, 360);
    shell.window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&shell.window));
    QScrollBar *bar = shell.window.outputText()->verticalScrollBar();
    for (int batch = 0; batch < 5; ++batch) {
        for (int i = 0; i < 100; ++i)
            shell.delegate.updateUILog(QStringLiteral("line %1 of batch %2\n").arg(i).arg(batch));
        drainEvents();
        QVERIFY(bar->maximum() > 0);
        QCOMPARE(bar->value(), bar->maximum());
    }
    // A piece without a line end is in view too.
    shell.delegate.updateUILog(QStringLiteral("no line end"));
    drainEvents();
    QCOMPARE(bar->value(), bar->maximum());
}

void TestAppShell::startTaskEntersRunning()
{
    Shell shell;
    shell.delegate.applicationDidFinishLaunching();
    drainEvents();
    shell.window.buildButton()->setEnabled(true); // as after a successful check
    const QString before = shell.console();

    shell.delegate.startTask();
    QVERIFY(!shell.window.buildButton()->isEnabled());
    QVERIFY(!shell.window.tableView()->isEnabled());
    QVERIFY(isAnimating(shell.window.spinner()));
    QCOMPARE(shell.console(), before); // disabled before the run's first line can show
}

void TestAppShell::stopTaskChangesNothing()
{
    Shell shell;
    const ControlState initial = stateOf(shell);
    shell.delegate.stopTask();
    QCOMPARE(stateOf(shell), initial);

    shell.window.buildButton()->setEnabled(true);
    shell.delegate.startTask();
    const ControlState running = stateOf(shell);
    shell.delegate.stopTask();
    QCOMPARE(stateOf(shell), running);

    // With nothing chosen the run ends at once; stopping then changes nothing either.
    QVERIFY(shell.delegate.waitForUpdateRun(60000));
    drainEvents();
    const ControlState finished = stateOf(shell);
    QCOMPARE(finished, (ControlState{false, false, false, false}));
    shell.delegate.stopTask();
    drainEvents();
    QCOMPARE(stateOf(shell), finished);
}

void TestAppShell::placeholderRowBeforeAnyCheck()
{
    Shell shell;
    QTableView *view = shell.window.tableView();
    QCOMPARE(shell.delegate.numberOfRowsInTableView(view), 1);
    QCOMPARE(view->model()->rowCount(), 1);
    QCOMPARE(shell.delegate.tableViewObjectValueForTableColumnRow(view, 0, 0), QString());
    QVERIFY(!shell.delegate.selectedTableItemValue());
    // Choosing the blank row is a choice, of the empty name.
    view->selectRow(0);
    QCOMPARE(shell.delegate.selectedTableItemValue(), std::optional<QString>(QString()));
}

void TestAppShell::closingTheWindowEndsTheEventLoop()
{
    Shell shell;
    QApplication::setQuitOnLastWindowClosed(
        shell.delegate.applicationShouldTerminateAfterLastWindowClosed());
    shell.window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&shell.window));
    QTimer::singleShot(0, &shell.window, &QWidget::close);
    // A stuck loop would hang here; the test binary's time limit catches that.
    QCOMPARE(QApplication::exec(), 0);
}

QTEST_MAIN(TestAppShell)
#include "tst_appshell.moc"
