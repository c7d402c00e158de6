#include "update/parallelstation.h"

#include "update/hoopvolume.h"

#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QFile>
#include <QSet>
#include <QThread>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

namespace {

constexpr int kPollMs = 200;
// How long a bootloader found on the bus may take to answer the tool, when
// the station has no wait limit of its own.
constexpr int kAnswerSeconds = 60;

// A hoop volume as one look saw it.
struct SeenVolume
{
    HoopVolume volume;
    QString key; // its mount path, which tells it from another volume
    HoopIdentity identity;
};

QList<SeenVolume> lookAtVolumes(const QStringList &mountRoots)
{
    QList<SeenVolume> seen;
    for (const HoopVolume &volume : findHoopVolumes(mountRoots))
        seen.append(SeenVolume{volume, volume.mountRoot + QLatin1Char('/') + volume.label,
                               volumeIdentity(volume)});
    return seen;
}

// The console, shared by every hoop: each of them writes whole lines.
class Console
{
public:
    explicit Console(RunObserver &observer) : m_observer(observer) {}
    void line(const QString &name, const QString &text)
    {
        const std::lock_guard<std::mutex> lock(m_lock);
        m_observer.updateUILog(QLatin1Char('[') + name + QStringLiteral("] ") + text);
    }
    RunObserver &observer() { return m_observer; }

private:
    RunObserver &m_observer;
    std::mutex m_lock;
};

HoopResult result(const HoopIdentity &identity, UpdateRunOutcome outcome, double seconds)
{
    HoopResult made;
    made.identity = identity;
    made.outcome = outcome;
    made.seconds = seconds;
    return made;
}

// One hoop's run, reported line by line with its port before each: the
// lines of several hoops never mix.
class PortLog : public RunObserver
{
public:
    PortLog(Console &console, QString port, std::atomic<bool> &reset)
        : m_console(console), m_port(std::move(port)), m_reset(reset)
    {}
    void updateUILog(const QString &text) override
    {
        m_pending += text;
        for (qsizetype end; (end = m_pending.indexOf(QLatin1Char('\n'))) >= 0;) {
            const QString line = m_pending.left(end + 1);
            m_console.line(m_port, line);
            m_pending.remove(0, end + 1);
            // From here on the hoop may come back as a volume.
            if (line == QLatin1String("Resetting...\n"))
                m_reset = true;
        }
    }
    void programmingBegins() override { m_console.observer().programmingBegins(); }
    void programmingEnds() override { m_console.observer().programmingEnds(); }

private:
    Console &m_console;
    QString m_port;
    std::atomic<bool> &m_reset;
    QString m_pending;
};

// A volume that got the request and whose bootloader has not been seen yet.
struct Requested
{
    HoopIdentity identity;
    QString name;
    QElapsedTimer since;
};

// A port with a hoop on it: being programmed, then leaving.
struct Port
{
    HoopIdentity identity;
    QElapsedTimer since;
    std::unique_ptr<QThread> worker;
    std::atomic<UpdateRunOutcome> outcome{UpdateRunOutcome::Aborted};
    ~Port()
    {
        if (worker)
            worker->wait();
    }

    std::atomic<bool> reset{false}; // its run has sent it to its firmware
    // Set once it is done with, as it leaves; the port is free when it has gone.
    std::optional<HoopDeparture> leaving;
    QSet<QString> volumes; // its volumes, by mount path, as they came back
};

// Whether a port's hoop may show its volume any moment, with neither port nor
// serial known to tell that volume by: reset, or updated and not back yet.
bool isDueBack(const Port &port)
{
    return port.identity.serial.isEmpty() && port.volumes.isEmpty() && port.reset &&
           (!port.leaving || !port.leaving->cameBack());
}

// Whether a volume is the hoop on a port: by the port or serial it shows, or
// as one that came back there.
bool isOnPort(const Port &port, const QString &volumeKey, const HoopIdentity &seen)
{
    return (!seen.port.isEmpty() && seen.port == port.identity.port) ||
           (!seen.serial.isEmpty() && seen.serial == port.identity.serial) ||
           port.volumes.contains(volumeKey);
}

class Station
{
public:
    Station(const Hoop &hoop, const PreparedImage &image, std::optional<int> waitLimitSeconds,
            RunObserver &observer)
        : m_hoop(hoop), m_image(image), m_waitLimit(waitLimitSeconds), m_console(observer)
    {
        QFile file(image.path);
        if (file.open(QIODevice::ReadOnly))
            m_sha256 = QString::fromLatin1(
                QCryptographicHash::hash(file.readAll(), QCryptographicHash::Sha256).toHex());
    }

    StationTally run(const std::function<bool(const StationTally &)> &keepGoing);
    std::function<void(const HoopResult &)> hoopDone;

private:
    void harvest();
    void requestVolumes(const QList<SeenVolume> &volumes);
    void startBootloaders(const QList<UsbDevice> &chips);
    void release(const QList<UsbDevice> &chips, const QList<SeenVolume> &volumes);
    void program(Port &port);
    void count(const HoopResult &result, const QString &name);
    void dropRequest(qsizetype i);
    bool busy() const;
    bool programming() const;

    const Hoop &m_hoop;
    const PreparedImage &m_image;
    const std::optional<int> m_waitLimit;
    QString m_sha256;
    Console m_console;
    StationTally m_tally;
    std::map<QString, std::unique_ptr<Port>> m_ports;
    QList<Requested> m_requested;
    QSet<QString> m_requestedVolumes; // still mounted since their request
    QSet<QString> m_refusedPorts;     // told once that this user may not open them
    // A bootloader took one of several requests with no port: which hoop
    // each of them was is not known until none is left.
    bool m_guessed = false;
    QElapsedTimer m_idle; // since a hoop was last seen or done with
    std::atomic<bool> m_toolBroken{false};
    bool m_busGone = false;
};

bool Station::programming() const
{
    for (const auto &[name, port] : m_ports)
        if (!port->leaving)
            return true;
    return false;
}

bool Station::busy() const
{
    return programming() || !m_requested.isEmpty();
}

void Station::count(const HoopResult &result, const QString &name)
{
    const bool updated = result.outcome == UpdateRunOutcome::Succeeded;
    ++m_tally.hoops;
    ++(updated ? m_tally.updated : m_tally.failed);
    m_tally.ending = result.outcome;
    // Its port names it already; its serial, when known, ties it to the hoop.
    m_console.line(name, stationSummary(m_tally, m_image, updated, result.identity.serial));
    HoopResult done = result;
    done.firmware = m_image.version;
    done.sha256 = m_sha256;
    hoopDone(done);
    m_idle.start();
}

void Station::harvest()
{
    for (auto &[name, port] : m_ports) {
        if (port->leaving || !port->worker->isFinished())
            continue;
        port->worker->wait();
        port->leaving.emplace(port->outcome.load() == UpdateRunOutcome::Succeeded);
        count(result(port->identity, port->outcome.load(), port->since.elapsed() / 1000.0), name);
    }
    // A request whose bootloader never came, within the limit.
    if (!m_waitLimit)
        return;
    for (qsizetype i = 0; i < m_requested.size();) {
        const Requested &request = m_requested.at(i);
        if (request.since.elapsed() < qint64(*m_waitLimit) * 1000) {
            ++i;
            continue;
        }
        m_console.line(request.name, noBootloaderInTimeLine(*m_waitLimit));
        count(result(request.identity, UpdateRunOutcome::NoBootloaderInTime,
                     request.since.elapsed() / 1000.0),
              request.name);
        dropRequest(i);
    }
}

void Station::dropRequest(qsizetype i)
{
    m_requested.removeAt(i);
    if (std::none_of(m_requested.begin(), m_requested.end(),
                     [](const Requested &r) { return r.identity.port.isEmpty(); }))
        m_guessed = false;
}

void Station::requestVolumes(const QList<SeenVolume> &volumes)
{
    QSet<QString> mounted;
    for (const SeenVolume &volume : volumes)
        mounted.insert(volume.key);
    m_requestedVolumes.intersect(mounted);

    for (const auto &[volume, volumeKey, seen] : volumes) {
        if (m_requestedVolumes.contains(volumeKey))
            continue;
        bool known = false;
        for (auto &[name, port] : m_ports)
            known = known || isOnPort(*port, volumeKey, seen);
        // One with no port to tell it by, while a hoop with nothing known to
        // tell it by is due back: it is that hoop, not a new one to flash
        // again (nor to leave in its bootloader).
        for (auto &[name, port] : m_ports) {
            if (!known && seen.port.isEmpty() && isDueBack(*port)) {
                port->volumes.insert(volumeKey);
                known = true;
            }
        }
        if (known)
            continue;

        m_idle.start();
        m_requestedVolumes.insert(volumeKey);
        const QString name = !seen.port.isEmpty()     ? seen.port
                             : !seen.serial.isEmpty() ? seen.serial
                                                      : volume.label;
        m_console.line(name, QStringLiteral("Vexlume Hoop detected, volume label: ") +
                                 volume.label + QStringLiteral("\n"));
        m_console.line(name, QStringLiteral("Rebooting in DFU mode...\n"));
        if (const std::optional<QString> error =
                writeBootloaderRequest(volume.mountRoot, volume.label)) {
            m_console.line(name, QStringLiteral("Write error: ") + *error +
                                     QStringLiteral(" Restart app.\n"));
            count(result(seen, UpdateRunOutcome::Halted, 0), name);
            continue;
        }
        Requested request{seen, name, {}};
        request.since.start();
        m_requested.append(request);
    }
}

void Station::startBootloaders(const QList<UsbDevice> &chips)
{
    for (const UsbDevice &chip : chips) {
        if (chip.port.isEmpty() || m_ports.count(chip.port))
            continue;
        if (chip.access == UsbAccess::Denied) {
            if (!m_refusedPorts.contains(chip.port)) {
                m_refusedPorts.insert(chip.port);
                m_console.line(chip.port, bootloaderRefusedLine());
            }
            continue;
        }
        // Its request: the one from a volume on this port, or else the
        // oldest whose port could not be told. Only when that was the only
        // one is its serial surely this hoop's.
        qsizetype exact = -1;
        qsizetype oldest = -1;
        int unplaced = 0;
        for (qsizetype i = 0; i < m_requested.size(); ++i) {
            const QString &asked = m_requested.at(i).identity.port;
            if (asked == chip.port)
                exact = i;
            else if (asked.isEmpty() && unplaced++ == 0)
                oldest = i;
        }
        const qsizetype match = exact >= 0 ? exact : oldest;
        auto port = std::make_unique<Port>();
        port->identity.port = chip.port;
        port->since.start();
        if (match >= 0) {
            const Requested &request = m_requested.at(match);
            // By elimination only while no earlier bootloader was given one
            // of several such requests.
            if (exact >= 0 || (unplaced == 1 && !m_guessed))
                port->identity.serial = request.identity.serial;
            m_guessed = m_guessed || (exact < 0 && unplaced > 1);
            port->since = request.since;
            dropRequest(match);
        }
        m_idle.start();
        Port &started = *port;
        m_ports[chip.port] = std::move(port);
        program(started);
    }
}

void Station::program(Port &port)
{
    port.worker.reset(QThread::create([this, &port] {
        PortLog log(m_console, port.identity.port, port.reset);
        const Hoop hoop = m_hoop.atPort(port.identity.port);
        port.outcome = guarded([&] {
            try {
                log.updateUILog(QStringLiteral("Checking for hoop in DFU mode... "));
                const QDeadlineTimer answer(qint64(m_waitLimit.value_or(kAnswerSeconds)) * 1000);
                while (!hoop.vexlumeHoopDFUDetected()) {
                    if (answer.hasExpired()) {
                        log.updateUILog(
                            QStringLiteral("\n") +
                            noBootloaderInTimeLine(m_waitLimit.value_or(kAnswerSeconds)));
                        return UpdateRunOutcome::NoBootloaderInTime;
                    }
                    std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));
                }
                log.updateUILog(QStringLiteral("Detected.\n"));
                return programSteps(hoop, m_image, log);
            } catch (const DfuToolError &error) {
                log.updateUILog(QStringLiteral("\n") + toolUnavailableLine(hoop, error));
                m_toolBroken = true;
                return UpdateRunOutcome::ToolUnavailable;
            }
        });
    }));
    port.worker->setObjectName(QStringLiteral("hoop ") + port.identity.port);
    port.worker->start();
}

void Station::release(const QList<UsbDevice> &chips, const QList<SeenVolume> &volumes)
{
    for (auto it = m_ports.begin(); it != m_ports.end();) {
        Port &port = *it->second;
        if (!port.leaving) {
            ++it;
            continue;
        }
        const bool volume = std::any_of(volumes.begin(), volumes.end(), [&](const SeenVolume &v) {
            return isOnPort(port, v.key, v.identity);
        });
        const bool chip = std::any_of(chips.begin(), chips.end(), [&](const UsbDevice &c) {
            return c.port == port.identity.port;
        });
        if (port.leaving->gone(volume, chip))
            it = m_ports.erase(it);
        else
            ++it;
    }
}

StationTally Station::run(const std::function<bool(const StationTally &)> &keepGoing)
{
    m_idle.start();
    for (;;) {
        harvest();
        const std::optional<QList<UsbDevice>> chips = m_hoop.bootloaders();
        if (!chips && !m_busGone) {
            m_console.observer().updateUILog(
                QStringLiteral("The USB bus can't be looked at (libusb-1.0 can't be loaded or "
                               "started), so hoops can't be told apart by their ports.\n"));
            m_busGone = true;
        }
        // Once stopping, the hoops being programmed are finished first.
        if (m_toolBroken || m_busGone || !keepGoing(m_tally)) {
            if (!programming()) {
                if (m_toolBroken || m_busGone)
                    m_tally.ending = UpdateRunOutcome::ToolUnavailable;
                return m_tally;
            }
        } else {
            const QList<SeenVolume> volumes = lookAtVolumes(m_hoop.mountRoots());
            requestVolumes(volumes);
            startBootloaders(*chips);
            release(*chips, volumes);
            if (!busy() && m_waitLimit && m_idle.elapsed() >= qint64(*m_waitLimit) * 1000) {
                m_console.observer().updateUILog(noHoopInTimeLine(*m_waitLimit));
                m_tally.ending = UpdateRunOutcome::NoHoopInTime;
                return m_tally;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));
    }
}

} // namespace

StationTally runParallelStation(const Hoop &hoop, const PreparedImage &image,
                                std::optional<int> waitLimitSeconds, RunObserver &observer,
                                const std::function<bool(const StationTally &)> &keepGoing,
                                const std::function<void(const HoopResult &)> &hoopDone)
{
    observer.updateUILog(lookingForHoopLine());
    try {
        hoop.checkTool();
    } catch (const DfuToolError &error) {
        observer.updateUILog(toolUnavailableLine(hoop, error));
        StationTally tally;
        tally.ending = UpdateRunOutcome::ToolUnavailable;
        return tally;
    }
    Station station(hoop, image, waitLimitSeconds, observer);
    station.hoopDone = hoopDone;
    return station.run(keepGoing);
}
