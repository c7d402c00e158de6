#include "app/terminalrunner.h"

#include "catalogue/updatecheck.h"
#include "platform/devlog.h"

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
    : ConfiguredRunHost(std::move(configuration)), m_commandLine(std::move(commandLine))
{}

void TerminalRunner::updateUILog(const QString &text)
{
    devLog(text);
    write(m_toStandardError ? stderr : stdout, text);
}

void TerminalRunner::programmingBegins()
{
    const std::lock_guard<std::mutex> lock(m_lock);
    m_programming = true;
}

void TerminalRunner::programmingEnds()
{
    const std::lock_guard<std::mutex> lock(m_lock);
    m_programming = false;
}

void TerminalRunner::setStatusIfStopped(int status)
{
    const std::lock_guard<std::mutex> lock(m_lock);
    m_statusIfStopped = status;
}

void TerminalRunner::stopRequested()
{
    const std::lock_guard<std::mutex> lock(m_lock);
    if (m_programming) {
        // Cut off now, the hoop would be left without working firmware.
        if (!m_stopRequested)
            write(stderr, QStringLiteral("Interrupted: the hoop is being programmed; finishing "
                                         "it first, then stopping.\n"));
        m_stopRequested = true;
        return;
    }
    // Held, so that programming can't begin while the process ends.
    std::fflush(stdout);
    std::_Exit(m_statusIfStopped);
}

int TerminalRunner::run()
{
    if (m_commandLine.list)
        return listFirmware();
    int status = ExitStatus::Success;
    const std::optional<QVariantList> firmwareList = choose(status);
    if (!firmwareList)
        return status;
    const SleepInhibitor awake = keepAwakeForUpdate();
    return m_commandLine.repeat ? updateMany(*firmwareList) : updateOne(*firmwareList);
}

int TerminalRunner::listFirmware()
{
    // Only the list goes to standard output, for scripts to read.
    m_toStandardError = true;
    updateUILog(QStringLiteral("Checking for updates...\n"));
    const UpdateCheck check = fetchFirmwareList(updateServerUrl(), m_configuration.catalogueTrust);
    if (!check.firmwareList) {
        updateUILog(updateCheckFailureText(check));
        return ExitStatus::CatalogueUnavailable;
    }
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

std::optional<QVariantList> TerminalRunner::choose(int &status)
{
    if (!m_commandLine.firmwareFile.isEmpty()) {
        // Checked as the window checks a file it is given, with the same lines.
        FirmwareFileCheck check = readFirmwareFile(m_commandLine.firmwareFile);
        updateUILog(firmwareFileLine(check));
        if (!check.file) {
            status = ExitStatus::ImageRefused;
            return std::nullopt;
        }
        m_selected = check.file->name;
        m_file = std::move(check.file);
        return QVariantList();
    }

    updateUILog(QStringLiteral("Checking for updates...\n"));
    const UpdateCheck check = fetchFirmwareList(updateServerUrl(), m_configuration.catalogueTrust);
    if (!check.firmwareList) {
        updateUILog(updateCheckFailureText(check));
        status = ExitStatus::CatalogueUnavailable;
        return std::nullopt;
    }
    // The newest, as the window preselects it, unless another is named.
    for (const QVariant &entry : *check.firmwareList) {
        const QString name = *firmwareNameOf(entry);
        if (m_commandLine.firmwareName.isEmpty() || name == m_commandLine.firmwareName)
            m_selected = name;
    }
    if (!m_selected) {
        write(stderr, QStringLiteral("hoop-updater: the firmware list has no entry \"") +
                          m_commandLine.firmwareName +
                          QStringLiteral("\"; --cli --list shows what it has.\n"));
        status = ExitStatus::BadArguments;
        return std::nullopt;
    }
    updateUILog(updateCheckReadyText());
    return check.firmwareList;
}

int TerminalRunner::updateOne(const QVariantList &firmwareList)
{
    const int status = exitStatusFor(performUpdateRun(*this, firmwareList));
    const std::lock_guard<std::mutex> lock(m_lock);
    // Stopped while programming: the hoop is finished, so say how it went,
    // unless all went well and only the stop is left to tell.
    return m_stopRequested && status == ExitStatus::Success ? ExitStatus::Interrupted : status;
}

int TerminalRunner::updateMany(const QVariantList &firmwareList)
{
    StationTally tally;
    // Aborted, whether the image or a hoop threw, is the generic failure.
    const UpdateRunOutcome prepared = guarded([&] {
        PreparedImage image;
        const UpdateRunOutcome outcome = prepareImage(*this, firmwareList, image);
        if (outcome == UpdateRunOutcome::Succeeded)
            tally = runStation(*this, image, [this](const StationTally &sofar) {
                setStatusIfStopped(sofar.failed == 0 ? ExitStatus::Success : ExitStatus::Failure);
                const std::lock_guard<std::mutex> lock(m_lock);
                return !m_stopRequested;
            });
        return outcome;
    });
    if (prepared != UpdateRunOutcome::Succeeded)
        return exitStatusFor(prepared);
    if (tally.ending == UpdateRunOutcome::ToolUnavailable)
        return ExitStatus::Failure;
    if (tally.hoops == 0)
        return exitStatusFor(tally.ending);
    return tally.failed == 0 ? ExitStatus::Success : ExitStatus::Failure;
}
