#include "update/updaterun.h"

#include "platform/devlog.h"
#include "update/firmwaredownload.h"
#include "update/hoopvolume.h"

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
std::optional<QVariantMap> chooseEntry(const QVariantList &firmwareList, const QString &selected)
{
    std::optional<QVariantMap> chosen;
    if (selected.isNull())
        return chosen;
    const QString fileName = selected + QStringLiteral(".zip");
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

// Downloads the selected catalogue entry, stores and verifies it; the stored
// image's path, or nothing when the check failed. Throws when nothing is selected.
std::optional<QString> fetchFromCatalogue(UpdateRunHost &host, const QVariantList &firmwareList,
                                          const QString &selected)
{
    const std::optional<QVariantMap> chosen = chooseEntry(firmwareList, selected);
    devLog(QStringLiteral("ChosenFW: ") + describe(chosen));

    if (selected.isNull())
        throw std::runtime_error("no firmware is selected, so there is no firmware address");
    const QString url = firmwareUrl(host.updateServerUrl(), selected);
    devLog(QStringLiteral("FW URL: ") + url);

    const QString destination =
        firmwareDestination(destinationDirectory(host.tempDir(), host.bundleId()), selected);
    devLog(QStringLiteral("FW Destination: ") + destination);

    host.updateUILog(QStringLiteral("Fetching firmware update... ") + QStringLiteral("(") +
                     selected + QStringLiteral(")\n"));
    const std::optional<QByteArray> data = downloadFirmware(url);
    // The flash step reads the file, not the bytes in memory: an image that
    // could not be stored must not pass, or an older file would be flashed.
    const bool stored = storeFirmware(destination, data);
    if (data && !stored)
        devLog(QStringLiteral("Could not store the firmware at ") + destination);
    const QString expected = expectedDigest(chosen);
    const DigestCheck check = checkDigest(data, expected);
    if (!check.passed || !stored) {
        host.updateUILog(QStringLiteral("MD5 check failed\nVerify proper internet connectivity, "
                                        "and try again. Or contact Tarvik support.\n"));
        devLog(QStringLiteral("MD5 found: ") + check.foundDigest);
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
    const QString destination =
        firmwareDestination(destinationDirectory(host.tempDir(), host.bundleId()), file.name);
    devLog(QStringLiteral("FW Destination: ") + destination);
    host.updateUILog(QStringLiteral("Using firmware file: ") + file.path + QStringLiteral("\n"));
    if (!storeFirmware(destination, file.bytes)) {
        host.updateUILog(QStringLiteral("The firmware file could not be stored for flashing at ") +
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
    const QString selected = file ? file->name : host.selectedTableItemValue();
    const std::optional<QString> stored =
        file ? storeChosenFile(host, *file) : fetchFromCatalogue(host, firmwareList, selected);
    if (!stored)
        return UpdateRunOutcome::VerificationFailed;
    const QString destination = *stored;

    const QString toolPath = host.bundledToolPath();
    host.setDfuToolPath(toolPath);
    devLog(toolPath.isNull() ? QStringLiteral("(null)") : toolPath);

    host.updateUILog(QStringLiteral(
        "Checking for Vexlume Hoop... Turn on your hoop and plug it in via USB now.\n"));
    std::optional<QString> label;
    bool inBootloader = false;
    // No pause and no limit: each attempt lasts one volume search and one tool run.
    for (;;) {
        label = host.getVexlumeHoopVolumeLabel();
        if (host.vexlumeHoopDFUDetected()) {
            inBootloader = true;
            break;
        }
        if (label)
            break;
    }

    if (!inBootloader) {
        host.updateUILog(QStringLiteral("Vexlume Hoop detected, volume label: ") + *label +
                         QStringLiteral("\n"));
        host.updateUILog(QStringLiteral("Rebooting in DFU mode...\n"));
        if (const std::optional<QString> error = writeBootloaderRequest(host.mountRoot(), *label)) {
            host.updateUILog(QStringLiteral("Write error: ") + *error +
                             QStringLiteral(" Restart app.\n"));
            return UpdateRunOutcome::Halted;
        }
    }

    host.updateUILog(QStringLiteral("Checking for hoop in DFU mode... "));
    while (!host.vexlumeHoopDFUDetected()) {
    }
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
