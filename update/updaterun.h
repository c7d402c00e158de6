#pragma once

#include "platform/usbdevices.h"
#include "update/firmwarefile.h"
#include "update/hoopvolume.h"

#include <QString>
#include <QVariantList>

#include <optional>

// What the update run needs from the application: the controller implements
// it. Every call is made from the run's own worker thread.
class UpdateRunHost
{
public:
    virtual ~UpdateRunHost() = default;

    virtual void updateUILog(const QString &text) = 0;
    // Nothing when no firmware has been chosen.
    virtual std::optional<QString> selectedTableItemValue() const = 0;
    // The checked file from disk when its row is the choice; the run then
    // flashes it instead of fetching a catalogue entry.
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
};

// How a run ended; the console and the developer log tell the details.
enum class UpdateRunOutcome {
    Succeeded,
    VerificationFailed, // also: a chosen file could not be stored for flashing
    EraseFailed,        // code 10
    FlashFailed,        // code 20
    ResetFailed,        // code 30
    StartFailed,        // code 40
    Aborted,            // an exception ended the run
    Halted,             // the bootloader request could not be written; no clean-up
};

// One whole firmware update, from download to start, on the calling thread.
// `firmwareList` is the catalogue as the launch check kept it.
UpdateRunOutcome performUpdateRun(UpdateRunHost &host, const QVariantList &firmwareList);
