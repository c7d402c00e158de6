#include "update/updaterun.h"

#include "platform/devlog.h"
#include "update/firmwaredownload.h"
#include "update/hoopvolume.h"
#include "update/usbaccesswatch.h"

#include <QJsonDocument>
#include <QVariantMap>

#include <chrono>
#include <stdexcept>
#include <thread>

namespace {

// The pause between two programming steps, which gives the bootloader time to settle.
void settle()
{
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
}

QString describe(const std::optional<QVariantMap> &entry)
{
    if (!entry)
        return QStringLiteral("(null)");
    return QString::fromUtf8(QJsonDocument::fromVariant(*entry).toJson(QJsonDocument::Compact));
}

// The last entry whose file name is the selected firmware's: a later entry of
// the same name overrides an earlier one.
std::optional<QVariantMap> chooseEntry(const QVariantList &firmwareList,
                                       const std::optional<QString> &selected)
{
    std::optional<QVariantMap> chosen;
    if (!selected)
        return chosen;
    const QString fileName = *selected + QStringLiteral(".zip");
    for (const QVariant &entry : firmwareList) {
        const QVariantMap map = entry.toMap();
        const QVariant name = map.value(QStringLiteral("filename"));
        if (name.typeId() == QMetaType::QString && name.toString() == fileName)
            chosen = map;
    }
    return chosen;
}

// The expected digest; a null string when the entry or its digest is missing.
QString expectedDigest(const std::optional<QVariantMap> &entry)
{
    if (!entry)
        return {};
    const QVariant digest = entry->value(QStringLiteral("MD5"));
    return digest.typeId() == QMetaType::QString ? digest.toString() : QString();
}

QString failureLine(const char *codeText)
{
    return QStringLiteral("FLASH PROCESS FAILURE. Contact Tarvik support. CODE: ") +
           QLatin1String(codeText) + QStringLiteral("\n");
}

// Says once per run that the bootloader is there but this user may not open
// it; the wait goes on and continues by itself once access is granted.
void watchUsbAccess(UpdateRunHost &host, UsbAccessWatch &watch, bool lineOpen)
{
    const std::optional<UsbDevice> refused = watch.poll();
    if (!refused)
        return;
    devLog(
        QStringLiteral("USB 03eb:2ff6 on bus %1 address %2 may not be opened (LIBUSB_ERROR_ACCESS)")
            .arg(refused->bus)
            .arg(refused->address));
    host.updateUILog(QLatin1String(lineOpen ? "\n" : "") +
                     QStringLiteral("Vexlume Hoop bootloader is connected, but this user has no "
                                    "permission to open it. Install the udev rule (README: "
                                    "\"Permission to program the hoop\"); the update goes on by "
                                    "itself once access is granted.\n"));
}

// Where the image to flash is kept, in the private download directory; a
// null string when there is none, with the reason in the developer log.
QString downloadDestination(UpdateRunHost &host, const QString &name)
{
    QString directoryNote;
    const QString destination = firmwareDestination(
        destinationDirectory(host.tempDir(), host.bundleId(), &directoryNote), name);
    devLog(QStringLiteral("FW Destination: ") +
           (destination.isNull() ? QStringLiteral("(null)") : destination));
    if (!directoryNote.isEmpty())
        devLog(directoryNote);
    return destination;
}

// Downloads the selected catalogue entry, stores and verifies it; the stored
// image's path, or nothing when the check failed. Throws when nothing is selected.
std::optional<QString> fetchFromCatalogue(UpdateRunHost &host, const QVariantList &firmwareList,
                                          const std::optional<QString> &chosenName)
{
    const std::optional<QVariantMap> chosen = chooseEntry(firmwareList, chosenName);
    devLog(QStringLiteral("ChosenFW: ") + describe(chosen));

    if (!chosenName)
        throw std::runtime_error("no firmware is selected, so there is no firmware address");
    const QString selected = *chosenName;
    const QString url = firmwareUrl(host.updateServerUrl(), selected);
    devLog(QStringLiteral("FW URL: ") + url);

    const QString destination = downloadDestination(host, selected);

    host.updateUILog(QStringLiteral("Fetching firmware update... ") + QStringLiteral("(") +
                     selected + QStringLiteral(")\n"));
    const std::optional<QByteArray> data = downloadFirmware(url);
    // The flash step reads the file, not the bytes in memory: an image that
    // could not be stored must not pass, or an older file would be flashed.
    const bool stored = storeFirmware(destination, data);
    if (data && !stored && !destination.isNull())
        devLog(QStringLiteral("Could not store the firmware at ") + destination);
    const QString expected = expectedDigest(chosen);
    const DigestCheck check = checkDigest(data, expected);
    if (!check.passed || !stored) {
        host.updateUILog(QStringLiteral("MD5 check failed\nVerify proper internet connectivity, "
                                        "and try again. Or contact Tarvik support.\n"));
        devLog(QStringLiteral("MD5 found: ") +
               (data ? check.foundDigest : QStringLiteral("(null)")));
        devLog(QStringLiteral("MD5 should be: ") +
               (expected.isNull() ? QStringLiteral("(null)") : expected));
        return std::nullopt;
    }
    host.updateUILog(QStringLiteral("MD5 check passed\n"));
    return destination;
}

// Stores the bytes checked when the file was chosen where a download would go,
// so that the file's later fate doesn't matter; the stored image's path, or
// nothing when it could not be stored.
std::optional<QString> storeChosenFile(UpdateRunHost &host, const FirmwareFile &file)
{
    devLog(QStringLiteral("Firmware file: ") + file.path);
    const QString destination = downloadDestination(host, file.name);
    host.updateUILog(QStringLiteral("Using firmware file: ") + file.path + QStringLiteral("\n"));
    if (!storeFirmware(destination, file.bytes)) {
        host.updateUILog(
            destination.isNull()
                ? QStringLiteral("The firmware file could not be stored for flashing: there is no "
                                 "private directory to keep it in\n")
                : QStringLiteral("The firmware file could not be stored for flashing at ") +
                      destination + QStringLiteral("\n"));
        return std::nullopt;
    }
    return destination;
}

// The guarded steps; returns how they ended. Throws when an operation cannot
// run at all (no selection, no tool).
UpdateRunOutcome guardedSteps(UpdateRunHost &host, const QVariantList &firmwareList)
{
    const std::optional<FirmwareFile> file = host.chosenFirmwareFile();
    const std::optional<QString> chosenName =
        file ? std::optional<QString>(file->name) : host.selectedTableItemValue();
    const std::optional<QString> stored =
        file ? storeChosenFile(host, *file) : fetchFromCatalogue(host, firmwareList, chosenName);
    if (!stored)
        return UpdateRunOutcome::VerificationFailed;
    // Set: the catalogue path throws when nothing is chosen.
    const QString selected = chosenName.value_or(QString());
    const QString destination = *stored;

    const QString toolPath = host.bundledToolPath();
    host.setDfuToolPath(toolPath);
    devLog(toolPath.isNull() ? QStringLiteral("(null)") : toolPath);

    host.updateUILog(QStringLiteral(
        "Checking for Vexlume Hoop... Turn on your hoop and plug it in via USB now.\n"));
    std::optional<HoopVolume> label;
    bool inBootloader = false;
    UsbAccessWatch usbWatch([&host] { return host.usbDevices(0x03eb, 0x2ff6); });
    // No pause and no limit: each attempt lasts one volume search and one tool run.
    for (;;) {
        watchUsbAccess(host, usbWatch, false);
        label = host.getVexlumeHoopVolumeLabel();
        if (host.vexlumeHoopDFUDetected()) {
            inBootloader = true;
            break;
        }
        if (label)
            break;
    }

    if (!inBootloader) {
        host.updateUILog(QStringLiteral("Vexlume Hoop detected, volume label: ") + label->label +
                         QStringLiteral("\n"));
        host.updateUILog(QStringLiteral("Rebooting in DFU mode...\n"));
        // On the volume where it was found, whichever root that was.
        if (const std::optional<QString> error =
                writeBootloaderRequest(label->mountRoot, label->label)) {
            host.updateUILog(QStringLiteral("Write error: ") + *error +
                             QStringLiteral(" Restart app.\n"));
            return UpdateRunOutcome::Halted;
        }
    }

    host.updateUILog(QStringLiteral("Checking for hoop in DFU mode... "));
    while (!host.vexlumeHoopDFUDetected())
        watchUsbAccess(host, usbWatch, true);
    host.updateUILog(QStringLiteral("Detected.\n"));

    host.updateUILog(QStringLiteral("Flashing new firmware to device... DO NOT UNPLUG!\n"));
    host.updateUILog(QStringLiteral("Erasing...\n"));
    if (!host.vexlumeHoopErase()) {
        host.updateUILog(failureLine("10 Failure erasing device."));
        return UpdateRunOutcome::EraseFailed;
    }
    settle();
    host.updateUILog(QStringLiteral("Flashing...\n"));
    if (!host.vexlumeHoopFlash(destination)) {
        host.updateUILog(failureLine("20 Failure writing firmware to device."));
        return UpdateRunOutcome::FlashFailed;
    }
    settle();
    host.updateUILog(QStringLiteral("Resetting...\n"));
    if (!host.vexlumeHoopReset()) {
        host.updateUILog(failureLine("30 Failure resetting device."));
        return UpdateRunOutcome::ResetFailed;
    }
    settle();
    host.updateUILog(QStringLiteral("Starting device...\n"));
    if (!host.vexlumeHoopStart()) {
        host.updateUILog(failureLine("40 Failure starting device."));
        return UpdateRunOutcome::StartFailed;
    }
    host.updateUILog(QStringLiteral("Vexlume Hoop successfully updated to firmware version: ") +
                     selected + QStringLiteral(" Disconnect hoop and quit.\n"));
    return UpdateRunOutcome::Succeeded;
}

} // namespace

UpdateRunOutcome performUpdateRun(UpdateRunHost &host, const QVariantList &firmwareList)
{
    host.setIsRunning(true);
    UpdateRunOutcome outcome;
    try {
        outcome = guardedSteps(host, firmwareList);
    } catch (const std::exception &error) {
        devLog(QStringLiteral("Problem Running Task: ") + QString::fromUtf8(error.what()));
        outcome = UpdateRunOutcome::Aborted;
    } catch (...) {
        devLog(QStringLiteral("Problem Running Task: unknown exception"));
        outcome = UpdateRunOutcome::Aborted;
    }
    // After a failed request write the run stops where it is: the user is told
    // to restart, and the indicator keeps turning until then.
    if (outcome == UpdateRunOutcome::Halted)
        return outcome;
    host.stopSpinner();
    host.setIsRunning(false);
    return outcome;
}
