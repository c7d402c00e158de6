#pragma once

#include <QString>
#include <QStringList>

#include <optional>
#include <stdexcept>

// Raised when the DFU tool cannot be started at all: no path, no file, not an
// executable file, or the system refused to run it. Never raised for a tool
// that ran and failed; that is a NO. what() says why in plain words, fit to
// follow "can't be started: ".
class DfuToolError : public std::runtime_error
{
    using std::runtime_error::runtime_error;
};

// Upper bounds on one run of the tool, in milliseconds. A run that is still
// going when its bound expires is killed and answers NO.
struct DfuTimeouts
{
    int probeMs = 15000;
    int eraseMs = 60000;
    int flashMs = 300000;
    int resetMs = 60000;
    int startMs = 60000;
};

// Drives dfu-programmer against the hoop's AT32UC3B1256 bootloader. Every call
// starts the tool once, with no shell, stdout and stderr merged, the program's
// own environment less LIBUSB_DEBUG (its chatter would turn the empty-output
// successes into failures) and standard input at the null device, then reads
// the output until the tool exits and turns it into YES or NO:
//
//   detected()  "get"    YES when the output contains "Bootloader Version:"
//   erase()     "erase"  YES when the output is empty and the tool exited 0
//   flash(p)    "flash --suppress-bootloader-mem p"
//                        YES when the output contains "bytes used" and exit 0
//   reset()     "reset"  YES when the output is empty and the tool exited 0
//   start()     "start"  YES when the output contains
//                        "dfu-programmer: no device present." (exit status ignored:
//                        once started, the device leaves DFU mode)
//
// A look for the bootloader whose tool the system could not load, or that a
// signal ended, throws DfuToolError: that is no "no hoop yet" (see check()).
//
// Erase, flash and reset look at the exit status too, because the tool reports
// some device-side failures with no output and status 1. Output is decoded as
// UTF-8 with invalid sequences replaced, so garbage never counts as empty and
// the ASCII markers are still found. Output beyond 8 MiB is drained but not
// kept. Reading stops when the tool exits; a leftover child of the tool that
// still holds the output open is not waited for.
//
// The four programming steps write "ERASE=", "FLASH=", "RESET=" or "START="
// plus the output to the developer log; any run killed at its bound writes a
// line saying so. A tool that cannot be started throws DfuToolError and logs
// nothing.
//
// Blocking; call it from a thread that Qt knows (the main thread or a QThread).
class DfuTool
{
public:
    // `target` names the device as the tool takes it: "at32uc3b1256" (the
    // first such bootloader found, and so the default) or
    // "at32uc3b1256:BUS,ADDR" for one device among several.
    explicit DfuTool(QString toolPath, DfuTimeouts timeouts = {}, QString target = {});

    bool detected();
    bool erase();
    bool flash(const QString &imagePath);
    bool reset();
    bool start();
    // What "--version" prints, for the diagnostic report; empty when the tool
    // did not finish within the probe's bound.
    std::optional<QString> version();
    // Starts the tool once with "--version" and throws DfuToolError unless it
    // really runs: a tool that the system can't load (status 126 or 127, as
    // the dynamic loader ends it), that a signal ends, or that says no
    // version can't program a hoop, and would only look like "no hoop yet".
    void check();

    const QString &toolPath() const { return m_toolPath; }

private:
    struct Outcome
    {
        QString output;
        bool exitedZero = false;
        bool timedOut = false;
        // Why the tool could not really run: the system could not load it
        // (status 126 or 127) or a signal ended it; null when it ran.
        QString broken;
    };
    Outcome run(const char *name, const QStringList &arguments, int timeoutMs) const;

    QString m_toolPath;
    DfuTimeouts m_timeouts;
    QString m_target;
};

// The tool's name for the hoop's chip, and for one such chip on the bus.
QString dfuTarget();
QString dfuTarget(int bus, int address);
