#pragma once

#include "update/firmwarechoice.h"
#include "update/hoop.h"

#include <QString>
#include <QVariantList>

#include <functional>
#include <optional>

// What an update run reports as it goes, from the thread that carries it.
class RunObserver
{
public:
    virtual ~RunObserver() = default;

    // A piece of the console's text; it carries its own line ends.
    virtual void updateUILog(const QString &text) = 0;
    // Erasing, flashing, resetting and starting: from just before the first
    // of them until the line that tells how they went. A hoop left between
    // them needs its bootloader to recover, so nothing should cut this short.
    virtual void programmingBegins() {}
    virtual void programmingEnds() {}
};

// What to install, as a plain value: taken when the run starts and never
// changed under it.
struct UpdateRequest
{
    FirmwareChoice firmware;
    // The catalogue as the launch check kept it; an entry choice is looked up here.
    QVariantList firmwareList;
    // How long each wait for the hoop may last; nothing: as long as it takes.
    std::optional<int> waitLimitSeconds;
};

// Where a run fetches from and keeps things.
struct RunSettings
{
    QString updateServerUrl; // base address, without a trailing slash
    QString tempDir;         // a directory no other user can write
    QString bundleId;        // names the download directory inside tempDir
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

// What tells one hoop from another at a station; an empty part is unknown.
struct HoopIdentity
{
    QString port;   // USB port path, of its volume or its bootloader
    QString serial; // from its volume's marker
};
// Console lines of the waits for the hoop, each with its line end, for the
// run and the stations alike.
QString lookingForHoopLine();
QString noHoopInTimeLine(int seconds);
QString noBootloaderInTimeLine(int seconds);
QString bootloaderRefusedLine();
// The console line for a tool that can't be started; the reason goes to the
// developer log too.
QString toolUnavailableLine(const Hoop &hoop, const DfuToolError &error);
// The identity a volume shows.
HoopIdentity volumeIdentity(const HoopVolume &volume);

// Runs steps of a run; an exception they throw ends them with Aborted, and a
// developer-log line "Problem Running Task: " with its reason.
UpdateRunOutcome guarded(const std::function<UpdateRunOutcome()> &steps);

// One whole firmware update, from download to start, on the calling thread.
UpdateRunOutcome performUpdateRun(const Hoop &hoop, const UpdateRequest &request,
                                  const RunSettings &settings, RunObserver &observer);

// The two halves of a run, for running the second once per hoop. Neither
// catches exceptions; performUpdateRun does. The first gets the chosen image
// (downloaded and checked, or the chosen file) into place; Succeeded with
// `image` set when it is ready.
UpdateRunOutcome prepareImage(const UpdateRequest &request, const RunSettings &settings,
                              RunObserver &observer, PreparedImage &image);
// The second waits for a hoop and programs it with the image; `identity`, if
// given, gets what the hoop showed of itself.
UpdateRunOutcome programHoop(const Hoop &hoop, const PreparedImage &image,
                             std::optional<int> waitLimitSeconds, RunObserver &observer,
                             HoopIdentity *identity = nullptr);
// Erasing, flashing, resetting and starting a hoop found in its bootloader,
// each step's line first and a failure's line where it stops.
UpdateRunOutcome programSteps(const Hoop &hoop, const PreparedImage &image, RunObserver &observer);
