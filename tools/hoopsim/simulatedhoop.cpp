#include "simulatedhoop.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <chrono>

namespace hoopsim {

namespace {

std::string local(const QString &s)
{
    return QFile::encodeName(s).toStdString();
}

QByteArray readAll(const std::string &path)
{
    std::string bytes;
    if (!readFile(path, bytes))
        return {};
    return QByteArray(bytes.data(), qsizetype(bytes.size()));
}

unsigned bitFor(Fault f)
{
    switch (f) {
    case Fault::EraseFails:
        return EraseFailsBit;
    case Fault::FlashFails:
        return FlashFailsBit;
    case Fault::ResetFails:
        return ResetFailsBit;
    case Fault::StartFails:
        return StartFailsBit;
    case Fault::HangOnGet:
        return HangOnGetBit;
    case Fault::HangOnErase:
        return HangOnEraseBit;
    case Fault::HangOnFlash:
        return HangOnFlashBit;
    case Fault::HangOnReset:
        return HangOnResetBit;
    case Fault::HangOnStart:
        return HangOnStartBit;
    case Fault::NeverAppears:
        return NeverAppearsBit;
    case Fault::AlreadyInBootloader:
        return AlreadyInBootloaderBit;
    case Fault::ReadOnlyVolume:
        return ReadOnlyVolumeBit;
    case Fault::ComesBackAsVolume:
        return ComesBackAsVolumeBit;
    case Fault::ReenumeratesAfterErase:
        return ReenumeratesAfterEraseBit;
    }
    return 0;
}

void toBootloader(State &s, std::int64_t at)
{
    unmountVolume(s);
    s.plugInAtNs = -1;
    s.mode = Mode::Rebooting;
    s.bootloaderAtNs = at;
    s.erased = false;
}

} // namespace

QString ToolRun::summary() const
{
    const QStringList rest = arguments.mid(1);
    if (rest.value(0) == QLatin1String("flash") && rest.size() >= 2)
        return QStringLiteral("flash ") + rest.last();
    return rest.join(QLatin1Char(' '));
}

SimulatedHoop::SimulatedHoop(const QString &stateDir, const QString &mountRoot,
                             const QString &label)
    : m_dir(local(QDir(stateDir).absolutePath())), m_label(label)
{
    QDir().mkpath(stateDir);
    {
        StateLock lock(m_dir);
        for (const char *name : {"runs.log", "flash.bin", "flashed.hex", "request.bin"})
            std::remove((m_dir + "/" + name).c_str());
        State s;
        s.volumePath = local(QDir(mountRoot).absolutePath() + QLatin1Char('/') + label);
        saveState(m_dir, s);
    }
    m_timer = std::thread([this] { timerLoop(); });
}

SimulatedHoop::~SimulatedHoop()
{
    {
        std::lock_guard guard(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_all();
    m_timer.join();
    StateLock lock(m_dir);
    State s;
    if (loadState(m_dir, s)) {
        unmountVolume(s);
        s.shutdown = true;
        saveState(m_dir, s);
    }
}

State SimulatedHoop::sync() const
{
    StateLock lock(m_dir);
    State s;
    loadState(m_dir, s);
    advance(m_dir, s, nowNs());
    saveState(m_dir, s);
    return s;
}

template <typename F> void SimulatedHoop::update(F &&change)
{
    StateLock lock(m_dir);
    State s;
    loadState(m_dir, s);
    advance(m_dir, s, nowNs());
    change(s);
    advance(m_dir, s, nowNs()); // a change may be due at once (a bootloader "after 0 ms")
    saveState(m_dir, s);
}

void SimulatedHoop::timerLoop()
{
    std::unique_lock guard(m_mutex);
    for (;;) {
        if (m_stopping)
            return;
        if (m_deadline < 0) {
            m_wake.wait(guard);
            continue;
        }
        const auto due =
            std::chrono::steady_clock::time_point(std::chrono::nanoseconds(m_deadline));
        if (m_wake.wait_until(guard, due) == std::cv_status::timeout) {
            m_deadline = -1;
            guard.unlock();
            sync(); // makes the due volume appear, even if no tool runs meanwhile
            guard.lock();
        }
    }
}

QString SimulatedHoop::builtToolPath()
{
    return QStringLiteral(HOOPSIM_TOOL_PATH);
}

bool SimulatedHoop::installTool(const QString &resourceDir)
{
    const QString dest = QDir(resourceDir).absoluteFilePath(QStringLiteral("dfu-programmer"));
    QDir().mkpath(resourceDir);
    QFile::remove(dest);
    if (!QFile::copy(builtToolPath(), dest)) {
        m_error = QStringLiteral("cannot copy %1 to %2").arg(builtToolPath(), dest);
        return false;
    }
    QFile::setPermissions(dest, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner |
                                    QFile::ReadGroup | QFile::ExeGroup | QFile::ReadOther |
                                    QFile::ExeOther);
    if (!writeFileAtomically(pointerFileFor(local(dest)), m_dir + "\n")) {
        m_error = QStringLiteral("cannot write the state pointer beside %1").arg(dest);
        return false;
    }
    return true;
}

bool SimulatedHoop::joinTool(const QString &resourceDir)
{
    const std::string pointer = local(pointerFile(resourceDir));
    std::string dirs;
    if (!readFile(pointer, dirs) || !writeFileAtomically(pointer, dirs + m_dir + "\n")) {
        m_error = QStringLiteral("no stand-in tool to join in %1").arg(resourceDir);
        return false;
    }
    return true;
}

QString SimulatedHoop::usbLibraryDir()
{
    return QStringLiteral(HOOPSIM_USB_LIBRARY_DIR);
}

QString SimulatedHoop::pointerFile(const QString &resourceDir)
{
    return QFile::decodeName(QByteArray::fromStdString(pointerFileFor(
        local(QDir(resourceDir).absoluteFilePath(QStringLiteral("dfu-programmer"))))));
}

bool SimulatedHoop::plugIn()
{
    bool ok = true;
    std::string error;
    update([&](State &s) {
        if (s.faults & NeverAppearsBit)
            return;
        s.plugInAtNs = -1;
        s.mode = Mode::Volume;
        ok = mountVolume(s);
        error = s.lastError;
    });
    m_error = ok ? QString() : QString::fromStdString(error);
    return ok;
}

void SimulatedHoop::plugInAfter(int milliseconds)
{
    const qint64 at = nowNs() + qint64(milliseconds) * 1000000;
    update([&](State &s) { s.plugInAtNs = at; });
    {
        std::lock_guard guard(m_mutex);
        m_deadline = at;
    }
    m_wake.notify_all();
}

void SimulatedHoop::unplug()
{
    update([](State &s) {
        unmountVolume(s);
        s.plugInAtNs = -1;
        s.mode = Mode::Off;
    });
}

void SimulatedHoop::enterBootloader()
{
    update([](State &s) { toBootloader(s, nowNs()); });
}

void SimulatedHoop::enterBootloaderAfter(int milliseconds)
{
    update([&](State &s) { toBootloader(s, nowNs() + qint64(milliseconds) * 1000000); });
}

void SimulatedHoop::setFault(Fault fault, bool on)
{
    update([&](State &s) {
        if (on)
            s.faults |= bitFor(fault);
        else
            s.faults &= ~bitFor(fault);
        if (fault == Fault::AlreadyInBootloader && on)
            toBootloader(s, nowNs());
    });
}

bool SimulatedHoop::hasFault(Fault fault) const
{
    return sync().faults & bitFor(fault);
}

void SimulatedHoop::setFastMode(bool fast)
{
    update([&](State &s) { s.fast = fast; });
}

void SimulatedHoop::setRebootDelay(int milliseconds)
{
    update([&](State &s) { s.rebootDelayMs = milliseconds; });
}

void SimulatedHoop::setEraseDelay(int milliseconds)
{
    update([&](State &s) { s.eraseDelayMs = milliseconds; });
}

void SimulatedHoop::setUsbPort(const QString &port, int bus, int firstAddress)
{
    update([&](State &s) {
        s.port = port.toStdString();
        s.bus = bus;
        s.firstAddress = firstAddress;
    });
}

void SimulatedHoop::setSerial(const QString &serial)
{
    update([&](State &s) { s.serial = serial.toStdString(); });
}

int SimulatedHoop::usbAddress() const
{
    return sync().address;
}

Mode SimulatedHoop::mode() const
{
    return sync().mode;
}

bool SimulatedHoop::inBootloader() const
{
    return mode() == Mode::Bootloader;
}

bool SimulatedHoop::volumeMounted() const
{
    return sync().volumeMounted;
}

QString SimulatedHoop::volumePath() const
{
    return QFile::decodeName(QByteArray::fromStdString(sync().volumePath));
}

bool SimulatedHoop::erased() const
{
    return sync().erased;
}

QList<ToolRun> SimulatedHoop::toolRunDetails() const
{
    std::vector<RunRecord> records;
    {
        StateLock lock(m_dir);
        records = readRunLog(m_dir);
    }
    QList<ToolRun> runs;
    for (const RunRecord &r : records) {
        ToolRun run;
        for (const std::string &a : r.arguments)
            run.arguments << QString::fromStdString(a);
        run.startNs = r.startNs;
        run.endNs = r.endNs;
        run.exitCode = r.exitCode;
        run.output = QByteArray::fromStdString(r.output);
        runs << run;
    }
    return runs;
}

QStringList SimulatedHoop::toolRuns() const
{
    QStringList list;
    for (const ToolRun &run : toolRunDetails())
        list << run.summary();
    return list;
}

QByteArray SimulatedHoop::flashedImage() const
{
    StateLock lock(m_dir);
    return readAll(m_dir + "/flash.bin");
}

QByteArray SimulatedHoop::flashedHexFile() const
{
    StateLock lock(m_dir);
    return readAll(m_dir + "/flashed.hex");
}

int SimulatedHoop::requestCount() const
{
    return sync().requestCount;
}

QByteArray SimulatedHoop::lastRequest() const
{
    StateLock lock(m_dir);
    return readAll(m_dir + "/request.bin");
}

qint64 SimulatedHoop::bootloaderAtNs() const
{
    return sync().bootloaderAtNs;
}

qint64 SimulatedHoop::nowNs()
{
    return hoopsim::nowNs();
}

QString SimulatedHoop::readOnlyVolumeUnsupportedReason(const QString &scratchDir)
{
    State s;
    s.faults = ReadOnlyVolumeBit;
    s.volumePath = local(QDir(scratchDir).absoluteFilePath(QStringLiteral("read-only-probe")));
    if (!mountVolume(s))
        return QStringLiteral("a read-only volume cannot be simulated here: ") +
               QString::fromStdString(s.lastError);
    unmountVolume(s);
    return {};
}

} // namespace hoopsim
