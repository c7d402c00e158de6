#pragma once

#include "platform/usbdevices.h"
#include "update/firmwarefile.h"
#include "update/hoopvolume.h"

#include <QString>
#include <QVariantList>

#include <functional>

#include <optional>

// What the update run needs from whoever runs it: the window's controller and
// the terminal's runner are its two hosts. Every call is made from the thread
// that carries the run.
class UpdateRunHost
{
public:
    virtual ~UpdateRunHost() = default;

    virtual void updateUILog(const QString &text) = 0;
    // Nothing when no firmware has been chosen.
    virtual std::optional<QString> selectedTableItemValue() const = 0;
    // The checked file from disk when it is the choice; the run then flashes
    // it instead of fetching a catalogue entry.
    virtual std::optional<FirmwareFile> chosenFirmwareFile() const { return std::nullopt; }
    virtual void setIsRunning(bool running) = 0;
    virtual void setDfuToolPath(const QString &path) = 0;
    // Hands the busy indicator's stop to the main thread.
    virtual void stopSpinner() = 0;

    virtual QString updateServerUrl() const = 0;
    virtual QString tempDir() const = 0;
    virtual QString bundleId() const = 0;
    virtual QString bundledToolPath() const = 0; // null when the resource is missing

    // The hoop's volume, with the root it was found under.
    virtual std::optional<HoopVolume> getVexlumeHoopVolumeLabel() = 0;
    virtual bool vexlumeHoopDFUDetected() = 0;
    virtual bool vexlumeHoopErase() = 0;
    virtual bool vexlumeHoopFlash(const QString &imagePath) = 0;
    virtual bool vexlumeHoopReset() = 0;
    virtual bool vexlumeHoopStart() = 0;

    // The USB devices of a vendor and product now, each tried for opening;
    // an empty optional when USB cannot be looked at.
    virtual std::optional<QList<UsbDevice>> usbDevices(quint16 vendorId, int productId) = 0;

    // How long each wait for the hoop may last; nothing: as long as it takes.
    virtual std::optional<int> waitLimitSeconds() const { return std::nullopt; }
    // Erasing, flashing, resetting and starting: from just before the first
    // of them until the line that tells how they went. A hoop left between
    // them needs its bootloader to recover, so nothing should cut this short.
    virtual void programmingBegins() {}
    virtual void programmingEnds() {}
};

// How a run ended; the console and the developer log tell the details.
enum class UpdateRunOutcome {
    Succeeded,
    VerificationFailed, // no image, or its MD5 digest differs
    ImageRefused,       // its SHA-256 digest differs, or the hoop can't use it
    ImageNotStored,     // no private place to keep the image for the tool
    ToolUnavailable,    // the bundled DFU tool can't be started
    EraseFailed,        // code 10
    FlashFailed,        // code 20
    ResetFailed,        // code 30
    StartFailed,        // code 40
    NoHoopInTime,       // the wait for the hoop ran past its limit
    NoBootloaderInTime, // the wait for the bootloader ran past its limit
    Aborted,            // an exception ended the run
    Halted,             // the bootloader request could not be written; no clean-up
};

// A checked image, stored where the tool reads it.
struct PreparedImage
{
    QString path;    // the stored file, handed to the flash step
    QString version; // the firmware name, as the success line shows it
};

// Runs steps of a run; an exception they throw ends them with Aborted, and a
// developer-log line "Problem Running Task: " with its reason.
UpdateRunOutcome guarded(const std::function<UpdateRunOutcome()> &steps);

// One whole firmware update, from download to start, on the calling thread.
// `firmwareList` is the catalogue as the launch check kept it.
UpdateRunOutcome performUpdateRun(UpdateRunHost &host, const QVariantList &firmwareList);

// The two halves of a run, for running the second once per hoop. Neither
// catches exceptions nor performs the final steps; performUpdateRun does both.
// The first gets the chosen image (downloaded and checked, or the chosen
// file) into place; Succeeded with `image` set when it is ready.
UpdateRunOutcome prepareImage(UpdateRunHost &host, const QVariantList &firmwareList,
                              PreparedImage &image);
// The second waits for a hoop and programs it with the image.
UpdateRunOutcome programHoop(UpdateRunHost &host, const PreparedImage &image);
