#include "update/updaterun.h"

#include "platform/devlog.h"
#include "update/dfutool.h"
#include "update/failureadvice.h"
#include "update/firmwaredownload.h"
#include "update/hoopvolume.h"
#include "update/usbaccesswatch.h"

#include <QDeadlineTimer>
#include <QFile>
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

// One console line that ends the run before the hoop is touched.
void refuse(UpdateRunHost &host, const QString &line)
{
    host.updateUILog(line + QStringLiteral("\n"));
}

// The checks every image passes after its digest and before the hoop wait:
// it is where the tool reads it, and it is an image the hoop can take. The
// stored file is read back, so what was checked is what gets flashed.
UpdateRunOutcome checkStoredImage(UpdateRunHost &host, const QString &destination, bool stored)
{
    if (!stored) {
        refuse(host, destination.isNull()
                         ? QStringLiteral("The firmware image could not be stored for flashing: "
                                          "there is no private directory to keep it in")
                         : QStringLiteral("The firmware image could not be stored for flashing "
                                          "at ") +
                               destination);
        return UpdateRunOutcome::ImageNotStored;
    }
    QFile file(destination);
    const QByteArray bytes = file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    const FirmwareImageCheck check = checkFirmwareImage(bytes);
    if (!check.problem.isNull()) {
        refuse(host, QStringLiteral("The firmware image can't be used for the hoop: ") +
                         check.problem + QStringLiteral(". Contact Tarvik support."));
        return UpdateRunOutcome::ImageRefused;
    }
    return UpdateRunOutcome::Succeeded;
}

// Downloads the selected catalogue entry, stores and verifies it. Throws when
// nothing is selected.
UpdateRunOutcome fetchFromCatalogue(UpdateRunHost &host, const QVariantList &firmwareList,
                                    const std::optional<QString> &chosenName, QString &stored)
{
    const std::optional<QVariantMap> chosen = chooseEntry(firmwareList, chosenName);
    devLog(QStringLiteral("ChosenFW: ") + describe(chosen));

    if (!chosenName)
        throw std::runtime_error("no firmware is selected, so there is no firmware address");
    const QString selected = *chosenName;
    const QString url = firmwareUrl(host.updateServerUrl(), selected);
    devLog(QStringLiteral("FW URL: ") + url);

    const QString destination = downloadDestination(host, selected);

    // Without an entry the digest check below fails as it always has.
    const EntryDigests digests = chosen ? entryDigests(*chosen) : EntryDigests{true, false};
    if (!digests.md5 && !digests.sha256) {
        refuse(host, QStringLiteral("The firmware list gives no MD5 or SHA-256 digest for ") +
                         selected +
                         QStringLiteral(", so it can't be checked and is not downloaded. "
                                        "Contact Tarvik support."));
        return UpdateRunOutcome::VerificationFailed;
    }

    host.updateUILog(QStringLiteral("Fetching firmware update... ") + QStringLiteral("(") +
                     selected + QStringLiteral(")\n"));
    const std::optional<QByteArray> data = downloadFirmware(url);
    const bool written = storeFirmware(destination, data);
    if (data && !written && !destination.isNull())
        devLog(QStringLiteral("Could not store the firmware at ") + destination);
    const QString expected = expectedDigest(chosen);
    const DigestCheck check = checkDigest(data, expected);
    if (digests.md5 && !check.passed) {
        host.updateUILog(QStringLiteral("MD5 check failed\nVerify proper internet connectivity, "
                                        "and try again. Or contact Tarvik support.\n"));
        devLog(QStringLiteral("MD5 found: ") +
               (data ? check.foundDigest : QStringLiteral("(null)")));
        devLog(QStringLiteral("MD5 should be: ") +
               (expected.isNull() ? QStringLiteral("(null)") : expected));
        return UpdateRunOutcome::VerificationFailed;
    }
    if (digests.md5)
        host.updateUILog(QStringLiteral("MD5 check passed\n"));
    if (!data || !sha256Matches(*data, chosen->value(QStringLiteral("SHA256")))) {
        refuse(host, QStringLiteral("The firmware image does not match the SHA-256 digest in the "
                                    "firmware list. Verify proper internet connectivity, and try "
                                    "again. Or contact Tarvik support."));
        devLog(QStringLiteral("SHA-256 should be: ") +
               chosen->value(QStringLiteral("SHA256")).toString());
        return digests.md5 ? UpdateRunOutcome::ImageRefused : UpdateRunOutcome::VerificationFailed;
    }
    if (!digests.md5)
        host.updateUILog(QStringLiteral("SHA-256 check passed\n"));
    stored = destination;
    return checkStoredImage(host, destination, written);
}

// Stores the bytes checked when the file was chosen where a download would go,
// so that the file's later fate doesn't matter.
UpdateRunOutcome storeChosenFile(UpdateRunHost &host, const FirmwareFile &file, QString &stored)
{
    devLog(QStringLiteral("Firmware file: ") + file.path);
    const QString destination = downloadDestination(host, file.name);
    host.updateUILog(QStringLiteral("Using firmware file: ") + file.path + QStringLiteral("\n"));
    stored = destination;
    return checkStoredImage(host, destination, storeFirmware(destination, file.bytes));
}

// Until the host's limit, if it has one.
class WaitLimit
{
public:
    explicit WaitLimit(const UpdateRunHost &host) : m_seconds(host.waitLimitSeconds())
    {
        if (m_seconds)
            m_deadline.setRemainingTime(qint64(*m_seconds) * 1000);
    }
    bool passed() const { return m_seconds && m_deadline.hasExpired(); }
    QString seconds() const { return QString::number(m_seconds.value_or(0)); }

private:
    std::optional<int> m_seconds;
    QDeadlineTimer m_deadline{QDeadlineTimer::Forever};
};

// Erasing to the line that tells how it went.
class Programming
{
public:
    explicit Programming(UpdateRunHost &host) : m_host(host) { m_host.programmingBegins(); }
    ~Programming() { m_host.programmingEnds(); }
    Programming(const Programming &) = delete;
    Programming &operator=(const Programming &) = delete;

private:
    UpdateRunHost &m_host;
};

UpdateRunOutcome waitAndProgram(UpdateRunHost &host, const PreparedImage &image, bool &lineOpen)
{
    host.updateUILog(QStringLiteral(
        "Checking for Vexlume Hoop... Turn on your hoop and plug it in via USB now.\n"));
    std::optional<HoopVolume> label;
    bool inBootloader = false;
    UsbAccessWatch usbWatch([&host] { return host.usbDevices(0x03eb, 0x2ff6); });
    // No pause and no limit but the host's: each attempt lasts one volume
    // search and one tool run.
    const WaitLimit hoopWait(host);
    for (;;) {
        if (hoopWait.passed()) {
            refuse(host, QStringLiteral("No Vexlume Hoop appeared within ") + hoopWait.seconds() +
                             QStringLiteral(" seconds."));
            return UpdateRunOutcome::NoHoopInTime;
        }
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
    lineOpen = true;
    const WaitLimit dfuWait(host);
    while (!host.vexlumeHoopDFUDetected()) {
        if (dfuWait.passed()) {
            refuse(host, QStringLiteral("\nThe hoop did not answer in DFU mode within ") +
                             dfuWait.seconds() + QStringLiteral(" seconds."));
            return UpdateRunOutcome::NoBootloaderInTime;
        }
        watchUsbAccess(host, usbWatch, true);
    }
    host.updateUILog(QStringLiteral("Detected.\n"));
    lineOpen = false;

    const Programming programming(host);
    host.updateUILog(QStringLiteral("Flashing new firmware to device... DO NOT UNPLUG!\n"));
    host.updateUILog(QStringLiteral("Erasing...\n"));
    if (!host.vexlumeHoopErase()) {
        host.updateUILog(failureLine("10 Failure erasing device."));
        return UpdateRunOutcome::EraseFailed;
    }
    settle();
    host.updateUILog(QStringLiteral("Flashing...\n"));
    if (!host.vexlumeHoopFlash(image.path)) {
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
                     image.version + QStringLiteral(" Disconnect hoop and quit.\n"));
    return UpdateRunOutcome::Succeeded;
}

} // namespace

UpdateRunOutcome prepareImage(UpdateRunHost &host, const QVariantList &firmwareList,
                              PreparedImage &image)
{
    const std::optional<FirmwareFile> file = host.chosenFirmwareFile();
    const std::optional<QString> chosenName =
        file ? std::optional<QString>(file->name) : host.selectedTableItemValue();
    QString stored;
    const UpdateRunOutcome outcome =
        file ? storeChosenFile(host, *file, stored)
             : fetchFromCatalogue(host, firmwareList, chosenName, stored);
    if (outcome == UpdateRunOutcome::Succeeded)
        image = PreparedImage{stored, chosenName.value_or(QString())};
    return outcome;
}

UpdateRunOutcome programHoop(UpdateRunHost &host, const PreparedImage &image)
{
    const QString toolPath = host.bundledToolPath();
    host.setDfuToolPath(toolPath);
    devLog(toolPath.isNull() ? QStringLiteral("(null)") : toolPath);
    bool lineOpen = false;
    try {
        return waitAndProgram(host, image, lineOpen);
    } catch (const DfuToolError &error) {
        devLog(QStringLiteral("Problem Running Task: ") + QString::fromUtf8(error.what()));
        refuse(host,
               QLatin1String(lineOpen ? "\n" : "") +
                   QStringLiteral("The bundled dfu-programmer can't be started: ") +
                   (toolPath.isNull() ? QStringLiteral("it is missing from the program's resources")
                                      : QString::fromUtf8(error.what())) +
                   QStringLiteral(". Reinstall the application."));
        return UpdateRunOutcome::ToolUnavailable;
    }
}

UpdateRunOutcome guarded(const std::function<UpdateRunOutcome()> &steps)
{
    try {
        return steps();
    } catch (const std::exception &error) {
        devLog(QStringLiteral("Problem Running Task: ") + QString::fromUtf8(error.what()));
    } catch (...) {
        devLog(QStringLiteral("Problem Running Task: unknown exception"));
    }
    return UpdateRunOutcome::Aborted;
}

UpdateRunOutcome performUpdateRun(UpdateRunHost &host, const QVariantList &firmwareList)
{
    host.setIsRunning(true);
    const UpdateRunOutcome outcome = guarded([&] {
        PreparedImage image;
        const UpdateRunOutcome prepared = prepareImage(host, firmwareList, image);
        return prepared == UpdateRunOutcome::Succeeded ? programHoop(host, image) : prepared;
    });
    if (const QString advice = failureAdvice(outcome); !advice.isEmpty())
        host.updateUILog(advice + QStringLiteral("\n"));
    // After a failed request write the run stops where it is: the user is told
    // to restart, and the indicator keeps turning until then.
    if (outcome == UpdateRunOutcome::Halted)
        return outcome;
    host.stopSpinner();
    host.setIsRunning(false);
    return outcome;
}
