// The update run's own cost. From "Update Firmware" to the success line, with
// a 700 KB image on loopback and the simulated hoop already in its bootloader
// and answering at once, against a shell script doing the same steps (curl,
// md5sum, the same tool runs, three sleeps of 0.5 s). Both figures are the
// time beyond the three pauses. Then the detection latency: from the moment
// the simulated bootloader appears to "Detected." in the console.

#include "e2eharness.h"
#include "update/dfutool.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QProcess>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <vector>

namespace {

std::atomic<qint64> g_successAt{-1};
std::atomic<qint64> g_detectedAt{-1};

// The developer log copy of a console line is written at the moment of the
// call, on the run's thread: the earliest point the line exists.
void watchLog(QtMsgType, const QMessageLogContext &, const QString &text)
{
    if (text.startsWith(QStringLiteral("Vexlume Hoop successfully updated")))
        g_successAt = hoopsim::SimulatedHoop::nowNs();
    else if (text == QStringLiteral("Detected.\n"))
        g_detectedAt = hoopsim::SimulatedHoop::nowNs();
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

const double kPauses = 1.5;

// Seconds from the button to the success line, less the three pauses.
double applicationOverhead(UpdateRig &rig)
{
    rig.hoop->setFault(hoopsim::Fault::AlreadyInBootloader);
    g_successAt = -1;
    const qint64 start = hoopsim::SimulatedHoop::nowNs();
    rig.updateAndWait();
    return (g_successAt - start) / 1e9 - kPauses;
}

double scriptOverhead(UpdateRig &rig, const QString &url, const QString &md5)
{
    rig.hoop->unplug();
    rig.hoop->setFault(hoopsim::Fault::AlreadyInBootloader);
    const QString tool = rig.path(QStringLiteral("resources/dfu-programmer"));
    const QString file = rig.path(QStringLiteral("script-image.hex"));
    const QString script = QStringLiteral(R"sh(set -e
curl -sf -o "$2" "$1"
[ "$(md5sum "$2" | cut -d' ' -f1)" = "$3" ]
"$4" at32uc3b1256 get 2>&1 | grep -q "Bootloader Version:"
"$4" at32uc3b1256 erase
sleep 0.5
"$4" at32uc3b1256 flash --suppress-bootloader-mem "$2" 2>&1 | grep -q "bytes used"
sleep 0.5
"$4" at32uc3b1256 reset
sleep 0.5
"$4" at32uc3b1256 start 2>&1 | grep -q "dfu-programmer: no device present."
)sh");
    QElapsedTimer timer;
    timer.start();
    const int status =
        QProcess::execute(QStringLiteral("bash"), {QStringLiteral("-c"), script,
                                                   QStringLiteral("bench"), url, file, md5, tool});
    if (status != 0)
        std::fprintf(stderr, "update_run: the script failed (%d)\n", status);
    return timer.nsecsElapsed() / 1e9 - kPauses;
}

} // namespace

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    qInstallMessageHandler(watchLog);
    const int rounds = argc > 1 ? std::max(3, atoi(argv[1])) : 7;

    std::vector<double> ours, script, latency, probe;
    for (int round = 0; round < rounds; ++round) {
        UpdateRig rig;
        const QString name = QStringLiteral("hoop-fw-bench");
        const QString md5 = rig.publishSample(name, 700 * 1000);
        if (!rig.launch()) {
            std::fprintf(stderr, "update_run: the launch check failed\n");
            return 1;
        }
        ours.push_back(applicationOverhead(rig));
        script.push_back(scriptOverhead(
            rig, rig.server->baseUrl() + QStringLiteral("/fw-updates/") + name + ".zip", md5));
    }
    for (int round = 0; round < rounds; ++round) {
        // The hoop restarts into its bootloader some time after the request;
        // the DFU wait has to notice.
        UpdateRig rig;
        rig.publishSample(QStringLiteral("fw"));
        rig.hoop->setRebootDelay(300 + 37 * round);
        rig.launch();
        rig.hoop->plugIn();
        g_detectedAt = -1;
        rig.updateAndWait();
        latency.push_back((g_detectedAt - rig.hoop->bootloaderAtNs()) / 1e6);
        // One probe as the run sees it: start, run and reap the tool.
        DfuTool tool(rig.path(QStringLiteral("resources/dfu-programmer")));
        for (int i = 0; i < 20; ++i) {
            QElapsedTimer timer;
            timer.start();
            tool.detected();
            probe.push_back(timer.nsecsElapsed() / 1e6);
        }
    }

    const double a = median(ours), b = median(script);
    std::printf("update_run: overhead beyond the pauses, hoop-updater: %.1f ms (median of %d)\n",
                a * 1e3, rounds);
    std::printf("update_run: overhead beyond the pauses, shell script: %.1f ms\n", b * 1e3);
    std::printf("update_run: ratio %.2f (goal <= 1.00)\n", a / b);
    std::printf("update_run: detection latency %.1f ms (median), one probe run %.1f ms "
                "(goal: latency <= probe + 5 ms)\n",
                median(latency), median(probe));
    return 0;
}
