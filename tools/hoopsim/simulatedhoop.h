#pragma once

// A simulated Vexlume Hoop for tests and the demo: a volume directory that
// appears under a mount root, and a stand-in "dfu-programmer" that answers as
// the hoop's DFU bootloader. Both share one state directory, changed under a
// file lock, so the program under test, the stand-in's runs and the test may
// touch it at the same time.
//
//   SimulatedHoop hoop(stateDir.path(), mountRoot.path());
//   hoop.installTool(resourceDir.path());   // <resourceDir>/dfu-programmer
//   hoop.setFastMode(true);
//   hoop.plugInAfter(200);                  // the volume shows up 0.2 s from now
//   ... run the update ...
//   QCOMPARE(hoop.toolRuns(), QStringList({"get", "erase", "flash /tmp/x.hex", "reset", "start"}));
//
// The hoop's life: Off -> plugIn -> Volume; "bootloader" written to runnow.cfg
// on the volume -> the volume disappears (Rebooting) -> after the reboot delay
// the bootloader answers (Bootloader) -> reset or start -> Running.
//
// Destroy the simulator before the directories it was given: it takes the
// volume away (a read-only volume may be a mount) and ends hanging tool runs.

#include "simstate.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <condition_variable>
#include <mutex>
#include <thread>

namespace hoopsim {

enum class Fault {
    EraseFails, // erase prints nothing and exits 1
    FlashFails, // flash prints an error and exits 1
    ResetFails, // reset prints nothing and exits 1
    StartFails, // start prints nothing and exits 0: the device did not leave DFU mode
    // The operation does not exit while the fault is on; clearing it lets a
    // hanging run finish normally. A hanging run still ends (exit 137) when
    // the simulator is destroyed, and is killed when its parent process dies.
    HangOnGet,
    HangOnErase,
    HangOnFlash,
    HangOnReset,
    HangOnStart,
    NeverAppears,        // plugIn and plugInAfter do nothing
    AlreadyInBootloader, // setting it puts the hoop in its bootloader at once, with no volume
    ReadOnlyVolume,      // the next volume to appear refuses writes
    // Not a fault but what a real hoop does: once reset or started, it runs
    // its firmware and shows its volume again after the reboot delay.
    ComesBackAsVolume,
    // After a good erase the chip drops off the bus and comes back on the
    // same port at the next address, as behind a flaky hub.
    ReenumeratesAfterErase,
};

struct ToolRun
{
    QStringList arguments; // as the tool received them, the target first
    qint64 startNs = -1;   // SimulatedHoop::nowNs() at start and end
    qint64 endNs = -1;     // -1 while the run has not ended (or hangs)
    int exitCode = -1;
    QByteArray output; // stdout and stderr, in the order written

    bool finished() const { return endNs >= 0; }
    // "get", "erase", "flash <image path>", "reset", "start"; other command
    // lines as their arguments after the target, joined by blanks.
    QString summary() const;
};

class SimulatedHoop
{
public:
    // stateDir: private directory for the shared state (made if missing);
    // mountRoot: where the volume appears as <mountRoot>/<label>.
    SimulatedHoop(const QString &stateDir, const QString &mountRoot,
                  const QString &label = QStringLiteral("VEXLUME HOOP"));
    ~SimulatedHoop();
    SimulatedHoop(const SimulatedHoop &) = delete;
    SimulatedHoop &operator=(const SimulatedHoop &) = delete;

    // The stand-in as built, before installation.
    static QString builtToolPath();
    // Copies the stand-in to <resourceDir>/dfu-programmer and wires it to this
    // hoop through a small file beside it.
    bool installTool(const QString &resourceDir);
    // Makes the stand-in installed in resourceDir by another hoop answer for
    // this one too: several chips on one bus.
    bool joinTool(const QString &resourceDir);
    // A directory holding a stand-in "libusb-1.0.so.0" that lists, as
    // 03eb:2ff6 devices, the chips of the hoops named in the file that the
    // environment variable HOOPSIM_USB names (the pointer file beside an
    // installed stand-in tool: pointerFile()). Put first on LD_LIBRARY_PATH.
    static QString usbLibraryDir();
    static QString pointerFile(const QString &resourceDir);

    bool plugIn(); // false (see errorString) when the volume cannot be made as asked
    void plugInAfter(int milliseconds);
    void unplug(); // volume and device gone
    void enterBootloader();
    void enterBootloaderAfter(int milliseconds);

    void setFault(Fault fault, bool on = true);
    bool hasFault(Fault fault) const;
    // Fast: every tool run answers at once instead of taking roughly as long
    // as the real tool.
    void setFastMode(bool fast);
    // Time from the request on the volume to the bootloader answering (500 ms
    // unless set).
    void setRebootDelay(int milliseconds);
    // How long an erase takes, in fast mode too.
    void setEraseDelay(int milliseconds);
    // Where the chip sits on USB, and the address of its first enumeration;
    // each later one takes the next. Unless set: port "1-1", bus 1, address 10.
    void setUsbPort(const QString &port, int bus, int firstAddress);
    // Named by the volume's marker as "Serial: <serial>".
    void setSerial(const QString &serial);
    int usbAddress() const; // 0 before its first enumeration

    Mode mode() const;
    bool inBootloader() const;
    bool volumeMounted() const;
    QString volumePath() const;
    QString label() const { return m_label; }
    bool erased() const;

    QStringList toolRuns() const; // summaries, in order of start
    QList<ToolRun> toolRunDetails() const;
    // The application area (from 0x2000) as the last flash left it, up to its
    // last programmed byte; empty after an erase.
    QByteArray flashedImage() const;
    QByteArray flashedHexFile() const; // the file the last good flash was given
    int requestCount() const;          // reboots caused by runnow.cfg
    QByteArray lastRequest() const;    // runnow.cfg as the hoop read it
    qint64 bootloaderAtNs() const;     // when the bootloader answered (or will); -1 if never

    QString errorString() const { return m_error; }

    static qint64 nowNs();
    // Empty when a read-only volume can be simulated here, otherwise why not
    // (for QSKIP). Tries it out in a subdirectory of scratchDir.
    static QString readOnlyVolumeUnsupportedReason(const QString &scratchDir);

private:
    // Both bring the shared state up to date under its lock first.
    State sync() const;
    template <typename F> void update(F &&change);
    void timerLoop();

    std::string m_dir;
    QString m_label;
    QString m_error;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    qint64 m_deadline = -1;
    bool m_stopping = false;
    std::thread m_timer;
};

} // namespace hoopsim
