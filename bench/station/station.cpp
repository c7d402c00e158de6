// A parallel station's speed: simulated hoops whose erase takes two seconds,
// already in their bootloaders, from the station's start until the last one
// is done. Four hoops at once against one alone, in the same run; the goal
// is a ratio of at most 1.3.

#include "samplefirmware.h"
#include "simulatedhoop.h"
#include "update/parallelstation.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QLoggingCategory>
#include <QTemporaryDir>

#include <cstdio>
#include <memory>
#include <vector>

#include <dlfcn.h>

namespace {

constexpr int kEraseMs = 2000;

class Quiet : public RunObserver
{
    void updateUILog(const QString &) override {}
};

// Seconds for `count` hoops, from the start until the last is done.
double station(int count)
{
    QTemporaryDir dir;
    const QString resources = dir.filePath(QStringLiteral("resources"));
    std::vector<std::unique_ptr<hoopsim::SimulatedHoop>> hoops;
    for (int n = 0; n < count; ++n) {
        hoops.push_back(std::make_unique<hoopsim::SimulatedHoop>(
            dir.filePath(QStringLiteral("hoop%1").arg(n)), dir.filePath(QStringLiteral("media")),
            QStringLiteral("HOOP %1").arg(n)));
        hoopsim::SimulatedHoop &hoop = *hoops.back();
        if (n == 0 ? !hoop.installTool(resources) : !hoop.joinTool(resources))
            qFatal("%s", qPrintable(hoop.errorString()));
        hoop.setUsbPort(QStringLiteral("1-%1").arg(n + 1), 1, 10 * (n + 1));
        hoop.setFastMode(true);
        hoop.setEraseDelay(kEraseMs);
        hoop.setFault(hoopsim::Fault::AlreadyInBootloader);
    }
    qputenv("HOOPSIM_USB", QFile::encodeName(hoopsim::SimulatedHoop::pointerFile(resources)));
    const QString image = dir.filePath(QStringLiteral("fw.hex"));
    QFile file(image);
    if (!file.open(QIODevice::WriteOnly) ||
        file.write(hoopsim::sampleFirmwareHex(QStringLiteral("fw"), 64 * 1024)) < 0)
        qFatal("cannot write the image");
    file.close();

    Quiet quiet;
    int done = 0;
    QElapsedTimer timer;
    qint64 lastDone = 0;
    timer.start();
    const StationTally tally = runParallelStation(
        Hoop({dir.filePath(QStringLiteral("media"))},
             resources + QStringLiteral("/dfu-programmer")),
        PreparedImage{image, QStringLiteral("fw")}, std::nullopt, quiet,
        [&](const StationTally &) { return done < count; },
        [&](const HoopResult &) {
            ++done;
            lastDone = timer.nsecsElapsed();
        });
    if (tally.updated != count)
        qFatal("only %d of %d hoops were updated", tally.updated, count);
    return lastDone / 1e9;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QLoggingCategory::setFilterRules(QStringLiteral("hoop.updater*=false"));
    // The program looks for libusb by its name; the stand-in, loaded first
    // under that name, is the one it gets.
    const QByteArray usb =
        QFile::encodeName(hoopsim::SimulatedHoop::usbLibraryDir()) + "/libusb-1.0.so.0";
    if (!dlopen(usb.constData(), RTLD_NOW | RTLD_GLOBAL))
        qFatal("cannot load the stand-in libusb: %s", dlerror());
    const double one = station(1);
    const double four = station(4);
    std::printf("one hoop: %.2f s, four hoops at once: %.2f s (erase %d ms each)\n", one, four,
                kEraseMs);
    std::printf("ratio four/one: %.2f (goal: at most 1.30)\n", four / one);
    return 0;
}
