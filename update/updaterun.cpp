#include "update/updaterun.h"

#include "platform/devlog.h"
#include "platform/leftovers.h"
#include "platform/usbport.h"
#include "update/dfutool.h"
#include "update/failureadvice.h"
#include "update/firmwaredownload.h"
#include "update/hoopvolume.h"
#include "update/usbaccesswatch.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QFileInfo>
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
void watchUsbAccess(RunObserver &observer, UsbAccessWatch &watch, bool lineOpen)
{
    const std::optional<UsbDevice> refused = watch.poll();
    if (!refused)
        return;
    devLog(
        QStringLiteral("USB 03eb:2ff6 on bus %1 address %2 may not be opened (LIBUSB_ERROR_ACCESS)")
            .arg(refused->bus)
            .arg(refused->address));
    observer.updateUILog(QLatin1String(lineOpen ? "\n" : "") + bootloaderRefusedLine());
}

// Where the image to flash is kept, in the private download directory; a
// null string when there is none, with the reason in the developer log.
QString downloadDestination(const RunSettings &settings, const QString &name)
{
    QString directoryNote;
    const QString directory =
        destinationDirectory(settings.tempDir, settings.bundleId, &directoryNote);
    const QString destination = firmwareDestination(directory, name);
    // Only for the tool, and only while the program lives; a directory made
    // for this run alone goes with it.
    if (!directory.isNull())
        keepUntilExit(directory, QFileInfo(directory).fileName() == settings.bundleId ? destination
                                                                                      : directory);
    devLog(QStringLiteral("FW Destination: ") +
           (destination.isNull() ? QStringLiteral("(null)") : destination));
    if (!directoryNote.isEmpty())
        devLog(directoryNote);
    return destination;
}

// One console line that ends the run before the hoop is touched.
void refuse(RunObserver &observer, const QString &line)
{
    observer.updateUILog(line + QStringLiteral("\n"));
}

// The checks every image passes after its digest and before the hoop wait:
// it is where the tool reads it, and it is an image the hoop can take. The
// stored file is read back, so what was checked is what gets flashed.
UpdateRunOutcome checkStoredImage(RunObserver &observer, const QString &destination, bool stored)
{
    if (!stored) {
        refuse(observer,
               destination.isNull()
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
        refuse(observer, QStringLiteral("The firmware image can't be used for the hoop: ") +
                             check.problem + QStringLiteral(". Contact Tarvik support."));
        return UpdateRunOutcome::ImageRefused;
    }
    return UpdateRunOutcome::Succeeded;
}

// Downloads the selected catalogue entry, stores and verifies it. Throws when
// nothing is selected.
UpdateRunOutcome fetchFromCatalogue(const RunSettings &settings, RunObserver &observer,
                                    const QVariantList &firmwareList,
                                    const std::optional<QString> &chosenName, QString &stored)
{
    const std::optional<QVariantMap> chosen = chooseEntry(firmwareList, chosenName);
    devLog(QStringLiteral("ChosenFW: ") + describe(chosen));

    if (!chosenName)
        throw std::runtime_error("no firmware is selected, so there is no firmware address");
    const QString selected = *chosenName;
    const QString url = firmwareUrl(settings.updateServerUrl, selected);
    devLog(QStringLiteral("FW URL: ") + url);

    const QString destination = downloadDestination(settings, selected);

    // Without an entry the digest check below fails as it always has.
    const EntryDigests digests = chosen ? entryDigests(*chosen) : EntryDigests{true, false};
    if (!digests.md5 && !digests.sha256) {
        refuse(observer, QStringLiteral("The firmware list gives no MD5 or SHA-256 digest for ") +
                             selected +
                             QStringLiteral(", so it can't be checked and is not downloaded. "
                                            "Contact Tarvik support."));
        return UpdateRunOutcome::VerificationFailed;
    }

    observer.updateUILog(QStringLiteral("Fetching firmware update... ") + QStringLiteral("(") +
                         selected + QStringLiteral(")\n"));
    const std::optional<QByteArray> data = downloadFirmware(url);
    const bool written = storeFirmware(destination, data);
    if (data && !written && !destination.isNull())
        devLog(QStringLiteral("Could not store the firmware at ") + destination);
    const QString expected = expectedDigest(chosen);
    const DigestCheck check = checkDigest(data, expected);
    if (digests.md5 && !check.passed) {
        observer.updateUILog(
            QStringLiteral("MD5 check failed\nVerify proper internet connectivity, "
                           "and try again. Or contact Tarvik support.\n"));
        devLog(QStringLiteral("MD5 found: ") +
               (data ? check.foundDigest : QStringLiteral("(null)")));
        devLog(QStringLiteral("MD5 should be: ") +
               (expected.isNull() ? QStringLiteral("(null)") : expected));
        return UpdateRunOutcome::VerificationFailed;
    }
    if (digests.md5)
        observer.updateUILog(QStringLiteral("MD5 check passed\n"));
    if (!data || !sha256Matches(*data, chosen->value(QStringLiteral("SHA256")))) {
        refuse(observer,
               QStringLiteral("The firmware image does not match the SHA-256 digest in the "
                              "firmware list. Verify proper internet connectivity, and try "
                              "again. Or contact Tarvik support."));
        devLog(QStringLiteral("SHA-256 should be: ") +
               chosen->value(QStringLiteral("SHA256")).toString());
        return digests.md5 ? UpdateRunOutcome::ImageRefused : UpdateRunOutcome::VerificationFailed;
    }
    if (!digests.md5)
        observer.updateUILog(QStringLiteral("SHA-256 check passed\n"));
    stored = destination;
    return checkStoredImage(observer, destination, written);
}

// Stores the bytes checked when the file was chosen where a download would go,
// so that the file's later fate doesn't matter.
UpdateRunOutcome storeChosenFile(const RunSettings &settings, RunObserver &observer,
                                 const FirmwareFile &file, QString &stored)
{
    devLog(QStringLiteral("Firmware file: ") + file.path);
    const QString destination = downloadDestination(settings, file.name);
    observer.updateUILog(QStringLiteral("Using firmware file: ") + file.path +
                         QStringLiteral("\n"));
    stored = destination;
    return checkStoredImage(observer, destination, storeFirmware(destination, file.bytes));
}

// Until the request's limit, if it has one.
class WaitLimit
{
public:
    explicit WaitLimit(std::optional<int> seconds) : m_seconds(seconds)
    {
        if (m_seconds)
            m_deadline.setRemainingTime(qint64(*m_seconds) * 1000);
    }
    bool passed() const { return m_seconds && m_deadline.hasExpired(); }
    int seconds() const { return m_seconds.value_or(0); }

private:
    std::optional<int> m_seconds;
    QDeadlineTimer m_deadline{QDeadlineTimer::Forever};
};

// Erasing to the line that tells how it went.
class Programming
{
public:
    explicit Programming(RunObserver &observer) : m_observer(observer)
    {
        m_observer.programmingBegins();
    }
    ~Programming() { m_observer.programmingEnds(); }
    Programming(const Programming &) = delete;
    Programming &operator=(const Programming &) = delete;

private:
    RunObserver &m_observer;
};

UpdateRunOutcome waitAndProgram(const Hoop &hoop, const PreparedImage &image,
                                std::optional<int> waitLimitSeconds, RunObserver &observer,
                                bool &lineOpen, HoopIdentity *identity)
{
    observer.updateUILog(lookingForHoopLine());
    std::optional<HoopVolume> label;
    bool inBootloader = false;
    // A tool that can't run would pass for "no hoop yet" for ever, after the
    // hoop had been asked to restart into a bootloader nothing can program.
    hoop.checkTool();
    UsbAccessWatch usbWatch([&hoop] { return hoop.usbDevices(0x03eb, 0x2ff6); });
    // No pause and no limit but the request's: each attempt lasts one volume
    // search and one tool run.
    const WaitLimit hoopWait(waitLimitSeconds);
    for (;;) {
        if (hoopWait.passed()) {
            observer.updateUILog(noHoopInTimeLine(hoopWait.seconds()));
            return UpdateRunOutcome::NoHoopInTime;
        }
        watchUsbAccess(observer, usbWatch, false);
        label = hoop.getVexlumeHoopVolumeLabel();
        if (hoop.vexlumeHoopDFUDetected()) {
            inBootloader = true;
            break;
        }
        if (label)
            break;
    }

    if (!inBootloader) {
        if (identity)
            *identity = volumeIdentity(*label);
        observer.updateUILog(QStringLiteral("Vexlume Hoop detected, volume label: ") +
                             label->label + QStringLiteral("\n"));
        observer.updateUILog(QStringLiteral("Rebooting in DFU mode...\n"));
        // On the volume where it was found, whichever root that was.
        if (const std::optional<QString> error =
                writeBootloaderRequest(label->mountRoot, label->label)) {
            observer.updateUILog(QStringLiteral("Write error: ") + *error +
                                 QStringLiteral(" Restart app.\n"));
            return UpdateRunOutcome::Halted;
        }
    }

    observer.updateUILog(QStringLiteral("Checking for hoop in DFU mode... "));
    lineOpen = true;
    const WaitLimit dfuWait(waitLimitSeconds);
    while (!hoop.vexlumeHoopDFUDetected()) {
        if (dfuWait.passed()) {
            observer.updateUILog(QStringLiteral("\n") + noBootloaderInTimeLine(dfuWait.seconds()));
            return UpdateRunOutcome::NoBootloaderInTime;
        }
        watchUsbAccess(observer, usbWatch, true);
    }
    observer.updateUILog(QStringLiteral("Detected.\n"));
    lineOpen = false;

    if (identity) {
        // The bootloader's port, when it is the only one: the volume may
        // have had none that could be told.
        const QList<UsbDevice> chips = hoop.bootloaders().value_or(QList<UsbDevice>());
        if (chips.size() == 1 && !chips.first().port.isEmpty())
            identity->port = chips.first().port;
    }
    return programSteps(hoop, image, observer);
}

} // namespace

UpdateRunOutcome programSteps(const Hoop &hoop, const PreparedImage &image, RunObserver &observer)
{
    const Programming programming(observer);
    observer.updateUILog(QStringLiteral("Flashing new firmware to device... DO NOT UNPLUG!\n"));
    observer.updateUILog(QStringLiteral("Erasing...\n"));
    if (!hoop.vexlumeHoopErase()) {
        observer.updateUILog(failureLine("10 Failure erasing device."));
        return UpdateRunOutcome::EraseFailed;
    }
    settle();
    observer.updateUILog(QStringLiteral("Flashing...\n"));
    if (!hoop.vexlumeHoopFlash(image.path)) {
        observer.updateUILog(failureLine("20 Failure writing firmware to device."));
        return UpdateRunOutcome::FlashFailed;
    }
    settle();
    observer.updateUILog(QStringLiteral("Resetting...\n"));
    if (!hoop.vexlumeHoopReset()) {
        observer.updateUILog(failureLine("30 Failure resetting device."));
        return UpdateRunOutcome::ResetFailed;
    }
    settle();
    observer.updateUILog(QStringLiteral("Starting device...\n"));
    if (!hoop.vexlumeHoopStart()) {
        observer.updateUILog(failureLine("40 Failure starting device."));
        return UpdateRunOutcome::StartFailed;
    }
    observer.updateUILog(QStringLiteral("Vexlume Hoop successfully updated to firmware version: ") +
                         image.version + QStringLiteral(" Disconnect hoop and quit.\n"));
    return UpdateRunOutcome::Succeeded;
}

UpdateRunOutcome prepareImage(const UpdateRequest &request, const RunSettings &settings,
                              RunObserver &observer, PreparedImage &image)
{
    const FirmwareFile *file = request.firmware.file();
    const std::optional<QString> chosenName = request.firmware.name();
    QString stored;
    const UpdateRunOutcome outcome =
        file ? storeChosenFile(settings, observer, *file, stored)
             : fetchFromCatalogue(settings, observer, request.firmwareList, chosenName, stored);
    if (outcome == UpdateRunOutcome::Succeeded)
        image = PreparedImage{stored, chosenName.value_or(QString())};
    return outcome;
}

UpdateRunOutcome programHoop(const Hoop &hoop, const PreparedImage &image,
                             std::optional<int> waitLimitSeconds, RunObserver &observer,
                             HoopIdentity *identity)
{
    const QString &toolPath = hoop.toolPath();
    devLog(toolPath.isNull() ? QStringLiteral("(null)") : toolPath);
    bool lineOpen = false;
    try {
        return waitAndProgram(hoop, image, waitLimitSeconds, observer, lineOpen, identity);
    } catch (const DfuToolError &error) {
        observer.updateUILog(QLatin1String(lineOpen ? "\n" : "") +
                             toolUnavailableLine(hoop, error));
        return UpdateRunOutcome::ToolUnavailable;
    }
}

QString lookingForHoopLine()
{
    return QStringLiteral(
        "Checking for Vexlume Hoop... Turn on your hoop and plug it in via USB now.\n");
}

QString noHoopInTimeLine(int seconds)
{
    return QStringLiteral("No Vexlume Hoop appeared within %1 seconds.\n").arg(seconds);
}

QString noBootloaderInTimeLine(int seconds)
{
    return QStringLiteral("The hoop did not answer in DFU mode within %1 seconds.\n").arg(seconds);
}

QString bootloaderRefusedLine()
{
    return QStringLiteral("Vexlume Hoop bootloader is connected, but this user has no permission "
                          "to open it. Install the udev rule (README: \"Permission to program "
                          "the hoop\"); the update goes on by itself once access is granted.\n");
}

QString toolUnavailableLine(const Hoop &hoop, const DfuToolError &error)
{
    devLog(QStringLiteral("Problem Running Task: ") + QString::fromUtf8(error.what()));
    return QStringLiteral("The bundled dfu-programmer can't be started: ") +
           (hoop.toolPath().isNull() ? QStringLiteral("it is missing from the program's resources")
                                     : QString::fromUtf8(error.what())) +
           QStringLiteral(". Reinstall the application.\n");
}

HoopIdentity volumeIdentity(const HoopVolume &volume)
{
    return HoopIdentity{
        usbPortOfPath(volumePath(volume.mountRoot, volume.label, QString())).value_or(QString()),
        readHoopSerial(volume).value_or(QString())};
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

UpdateRunOutcome performUpdateRun(const Hoop &hoop, const UpdateRequest &request,
                                  const RunSettings &settings, RunObserver &observer)
{
    const UpdateRunOutcome outcome = guarded([&] {
        PreparedImage image;
        const UpdateRunOutcome prepared = prepareImage(request, settings, observer, image);
        return prepared == UpdateRunOutcome::Succeeded
                   ? programHoop(hoop, image, request.waitLimitSeconds, observer)
                   : prepared;
    });
    // What the user should do next, as the hoop's state after each ending suggests.
    if (const QString advice = failureAdvice(outcome); !advice.isEmpty())
        observer.updateUILog(advice + QStringLiteral("\n"));
    return outcome;
}
