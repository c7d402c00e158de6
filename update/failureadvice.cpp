#include "update/failureadvice.h"

namespace {

// A hoop left in its bootloader is found there by the next run, without the
// volume and the restart request.
const char *const kUpdateAgain = "Keep the hoop plugged in, restart the program and update "
                                 "again: a new run also finds a hoop that is still in its "
                                 "bootloader.";

} // namespace

QString failureAdvice(UpdateRunOutcome outcome)
{
    switch (outcome) {
    case UpdateRunOutcome::EraseFailed:
        // Nothing was written yet, but the erase may have got part of the way.
        return QStringLiteral("The hoop is in its bootloader with its old firmware, which may be "
                              "partly erased and may not start. ") +
               QLatin1String(kUpdateAgain);
    case UpdateRunOutcome::FlashFailed:
        return QStringLiteral("The hoop was erased and the new firmware is not completely "
                              "written: it has no working firmware and stays in its "
                              "bootloader. ") +
               QLatin1String(kUpdateAgain);
    case UpdateRunOutcome::ResetFailed:
        return QStringLiteral("The new firmware is written, but the hoop did not restart. Unplug "
                              "it, switch it off and on, and check that it starts; if it does "
                              "not, plug it in again and update again.");
    case UpdateRunOutcome::StartFailed:
        return QStringLiteral("The new firmware is written, but the hoop stayed in its bootloader "
                              "instead of starting it. Unplug it, switch it off and on, and check "
                              "that it starts; if it does not, plug it in again and update "
                              "again.");
    case UpdateRunOutcome::ToolUnavailable:
        // The tool is used from the first look for the bootloader on, so a
        // broken one is nearly always found before the hoop is touched.
        return QStringLiteral("The hoop's firmware is unchanged unless \"Erasing...\" is shown "
                              "above. Reinstall the application, then update again with the hoop "
                              "plugged in: a new run also finds a hoop that is still in its "
                              "bootloader.");
    case UpdateRunOutcome::Succeeded:
    case UpdateRunOutcome::VerificationFailed:
    case UpdateRunOutcome::ImageRefused:
    case UpdateRunOutcome::ImageNotStored:
    case UpdateRunOutcome::NoHoopInTime:
    case UpdateRunOutcome::NoBootloaderInTime:
    case UpdateRunOutcome::Aborted:
    case UpdateRunOutcome::Halted:
        break;
    }
    return {};
}
