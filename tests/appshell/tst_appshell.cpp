// The application shell: the controller's window states and the log console.

#include "app/appdelegate.h"
#include "app/busyindicator.h"
#include "app/mainwindow.h"
#include "devlogcapture.h"

#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QTableView>
#include <QTest>

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

} // namespace

class TestAppShell : public QObject
{
    Q_OBJECT

private slots:
    void windowHasItsControls()
    {
        Shell shell;
        QCOMPARE(shell.window.windowTitle(), QStringLiteral("Vexlume Hoop Updater"));
        QCOMPARE(shell.window.buildButton()->text(), QStringLiteral("Update Firmware"));
        QVERIFY(shell.window.outputText()->isReadOnly());
        const QFontMetrics metrics(shell.window.outputText()->font());
        QCOMPARE(metrics.horizontalAdvance(QLatin1Char('i')),
                 metrics.horizontalAdvance(QLatin1Char('W')));
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
    void launchClearsBeforeQueuedPieces()
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
    void piecesAreShownLiterally_data()
    {
        QTest::addColumn<QStringList>("pieces");
        QTest::addColumn<QString>("shown");

        QTest::newRow("continued on the same line")
            << QStringList{"Checking for hoop in DFU mode... ", "Detected.\n"}
            << QStringLiteral("Checking for hoop in DFU mode... Detected.\n");
        QTest::newRow("format sequences") << QStringList{"100% %@ %s %d %n %%\n", "%@"}
                                          << QStringLiteral("100% %@ %s %d %n %%\n%@");
        const QString lone = QString(QChar(0xD800)) + QStringLiteral("x\n"); // unpaired surrogate
        QTest::newRow("invalid UTF-16") << QStringList{lone} << lone;
        QTest::newRow("empty pieces") << QStringList{"", "a", "", "b"} << QStringLiteral("ab");
    }
    void piecesAreShownLiterally()
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
    void endOfTextStaysInView()
    {
        Shell shell;
        shell.window.resize(640, 360);
        shell.window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&shell.window));
        QScrollBar *bar = shell.window.outputText()->verticalScrollBar();
        for (int batch = 0; batch < 5; ++batch) {
            for (int i = 0; i < 100; ++i)
                shell.delegate.updateUILog(
                    QStringLiteral("line %1 of batch %2\n").arg(i).arg(batch));
            drainEvents();
            QVERIFY(bar->maximum() > 0);
            QCOMPARE(bar->value(), bar->maximum());
        }
        // A piece without a line end is in view too.
        shell.delegate.updateUILog(QStringLiteral("no line end"));
        drainEvents();
        QCOMPARE(bar->value(), bar->maximum());
    }
    void startTaskEntersRunning()
    {
        Shell shell;
        shell.delegate.applicationDidFinishLaunching();
        drainEvents();
        shell.window.buildButton()->setEnabled(true); // as after a successful check
        const QString before = shell.console();
        DevLogCapture log;

        shell.delegate.startTask();
        QVERIFY(!shell.window.buildButton()->isEnabled());
        QVERIFY(!shell.window.tableView()->isEnabled());
        QVERIFY(isAnimating(shell.window.spinner()));
        QCOMPARE(shell.console(), before); // disabled before the run's first line can show

        // One run per launch: starting again after it ended starts nothing.
        QVERIFY(shell.delegate.waitForUpdateRun(60000));
        shell.delegate.startTask();
        QVERIFY(shell.delegate.waitForUpdateRun(60000));
        QCOMPARE(log.lines().filter(QStringLiteral("ChosenFW: ")).size(), 1);
    }
};

QTEST_MAIN(TestAppShell)
#include "tst_appshell.moc"
