#include "app/terminalrunner.h"

#include "catalogue/launchcheck.h"
#include "platform/devlog.h"
#include "platform/leftovers.h"

#include <QVariantMap>

#include <cstdio>
#include <cstdlib>

namespace {

void write(std::FILE *stream, const QString &text)
{
    const QByteArray bytes = text.toLocal8Bit();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
    std::fflush(stream);
}

QString field(const QVariant &entry, const char *key)
{
    const QVariant value = entry.toMap().value(QLatin1String(key));
    return value.typeId() == QMetaType::QString && !value.toString().isEmpty()
               ? value.toString()
               : QStringLiteral("-");
}

} // namespace

int exitStatusFor(UpdateRunOutcome outcome)
{
    switch (outcome) {
    case UpdateRunOutcome::Succeeded:
        return ExitStatus::Success;
    case UpdateRunOutcome::VerificationFailed:
    case UpdateRunOutcome::ImageRefused:
        return ExitStatus::ImageRefused;
    case UpdateRunOutcome::EraseFailed:
        return 10;
    case UpdateRunOutcome::FlashFailed:
        return 20;
    case UpdateRunOutcome::ResetFailed:
        return 30;
    case UpdateRunOutcome::StartFailed:
        return 40;
    case UpdateRunOutcome::NoHoopInTime:
    case UpdateRunOutcome::NoBootloaderInTime:
        return ExitStatus::TimedOut;
    case UpdateRunOutcome::Halted:
        return ExitStatus::RequestNotWritten;
    case UpdateRunOutcome::ImageNotStored:
    case UpdateRunOutcome::ToolUnavailable:
    case UpdateRunOutcome::Aborted:
        break;
    }
    return ExitStatus::Failure;
}

TerminalRunner::TerminalRunner(Configuration configuration, CommandLine commandLine)
    : m_configuration(std::move(configuration)), m_commandLine(std::move(commandLine)),
      m_runner(m_configuration.runSettings(), m_configuration.hoopSetup(), *this)
{}

void TerminalRunner::updateUILog(const QString &text)
{
    devLog(text);
    write(m_toStandardError ? stderr : stdout, text);
}

void TerminalRunner::stopRequested()
{
    const UpdateRunner::Quit quit =
        m_runner.requestQuit([this] { exitProcess(m_statusIfStopped.load()); });
    // Cut off now, the hoop would be left without working firmware.
    if (quit == UpdateRunner::Quit::Deferred)
        write(stderr, QStringLiteral("Interrupted: the hoop is being programmed; finishing "
                                     "it first, then stopping.\n"));
}

int TerminalRunner::run()
{
    if (m_commandLine.list)
        return listFirmware();
    if (!m_commandLine.logFile.isEmpty()) {
        // Before anything is fetched: a station whose log can't be kept
        // should not start.
        m_log = std::make_unique<StationLog>(m_commandLine.logFile);
        if (!m_log->isOpen()) {
            write(stderr, QStringLiteral("hoop-updater: can't open the log ") +
                              m_commandLine.logFile + QStringLiteral(": ") + m_log->errorString() +
                              QStringLiteral("\n"));
            return ExitStatus::Failure;
        }
    }
    int status = ExitStatus::Success;
    const std::optional<UpdateRequest> request = choose(status);
    if (!request)
        return status;
    return m_commandLine.repeat ? updateMany(*request) : updateOne(*request);
}

int TerminalRunner::listFirmware()
{
    // Only the list goes to standard output, for scripts to read.
    m_toStandardError = true;
    const UpdateCheck check =
        checkForFirmware(m_configuration.updateServerUrl, m_configuration.catalogueTrust,
                         [this](const QString &text) { updateUILog(text); });
    if (!check.firmwareList)
        return ExitStatus::CatalogueUnavailable;
    qsizetype widths[3] = {0, 0, 0};
    QList<QStringList> rows;
    for (const QVariant &entry : *check.firmwareList) {
        rows.append({*firmwareNameOf(entry), field(entry, "version"), field(entry, "date"),
                     field(entry, "desc")});
        for (int column = 0; column < 3; ++column)
            widths[column] = qMax(widths[column], rows.last().at(column).size());
    }
    QString text;
    for (const QStringList &row : rows) {
        for (int column = 0; column < 3; ++column)
            text += row.at(column).leftJustified(widths[column] + 2);
        text += row.at(3) + QLatin1Char('\n');
    }
    write(stdout, text);
    return ExitStatus::Success;
}

std::optional<UpdateRequest> TerminalRunner::choose(int &status)
{
    const auto log = [this](const QString &text) {
        updateUILog(text);
    };
    if (!m_commandLine.firmwareFile.isEmpty()) {
        // Checked as the window checks a file it is given, with the same lines.
        std::optional<FirmwareFile> file = takeFirmwareFile(m_commandLine.firmwareFile, log);
        if (!file) {
            status = ExitStatus::ImageRefused;
            return std::nullopt;
        }
        return UpdateRequest{
            FirmwareChoice::file(std::move(*file)), {}, m_commandLine.timeoutSeconds};
    }

    const UpdateCheck check =
        checkForFirmware(m_configuration.updateServerUrl, m_configuration.catalogueTrust, log);
    if (!check.firmwareList) {
        status = ExitStatus::CatalogueUnavailable;
        return std::nullopt;
    }
    // The newest, as the window preselects it, unless another is named.
    const std::optional<QString> name =
        newestFirmwareName(*check.firmwareList, m_commandLine.firmwareName);
    if (!name) {
        write(stderr, QStringLiteral("hoop-updater: the firmware list has no entry \"") +
                          m_commandLine.firmwareName +
                          QStringLiteral("\"; --cli --list shows what it has.\n"));
        status = ExitStatus::BadArguments;
        return std::nullopt;
    }
    updateUILog(updateCheckReadyText());
    return UpdateRequest{FirmwareChoice::entry(*name), *check.firmwareList,
                         m_commandLine.timeoutSeconds};
}

int TerminalRunner::updateOne(const UpdateRequest &request)
{
    const int status = exitStatusFor(m_runner.run(request));
    // Stopped while programming: the hoop is finished, so say how it went,
    // unless all went well and only the stop is left to tell.
    return m_runner.quitRequested() && status == ExitStatus::Success ? ExitStatus::Interrupted
                                                                     : status;
}

int TerminalRunner::updateMany(const UpdateRequest &request)
{
    StationTally tally;
    const auto keepGoing = [this](const StationTally &sofar) {
        m_statusIfStopped.store(sofar.failed == 0 ? ExitStatus::Success : ExitStatus::Failure);
        return !m_runner.quitRequested();
    };
    const UpdateRunOutcome prepared =
        m_commandLine.parallel
            ? m_runner.runParallelStation(
                  request, keepGoing, [this](const HoopResult &result) { record(result); }, tally)
            : m_runner.runStation(request, keepGoing, tally);
    if (prepared != UpdateRunOutcome::Succeeded)
        return exitStatusFor(prepared);
    if (tally.ending == UpdateRunOutcome::ToolUnavailable)
        return ExitStatus::Failure;
    if (tally.hoops == 0)
        return exitStatusFor(tally.ending);
    return tally.failed == 0 ? ExitStatus::Success : ExitStatus::Failure;
}

void TerminalRunner::record(const HoopResult &result)
{
    if (!m_log)
        return;
    const bool updated = result.outcome == UpdateRunOutcome::Succeeded;
    const StationRecord record{QDateTime::currentDateTimeUtc(),
                               result.identity.port,
                               result.identity.serial,
                               result.firmware,
                               result.sha256,
                               updated,
                               updated ? 0 : exitStatusFor(result.outcome),
                               result.seconds};
    // Told once; the station goes on, as its hoops matter more than the log.
    if (!m_log->append(record) && !std::exchange(m_logFailed, true))
        write(stderr, QStringLiteral("hoop-updater: can't write to the log ") +
                          m_commandLine.logFile + QStringLiteral(": ") + m_log->errorString() +
                          QStringLiteral("\n"));
}
