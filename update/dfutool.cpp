#include "update/dfutool.h"

#include "platform/devlog.h"

#include <QDeadlineTimer>
#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRegularExpression>

#include <climits>
#include <string>

#ifdef Q_OS_UNIX
#include <csignal>

#include <unistd.h>
#endif

namespace {

const QString kTarget = QStringLiteral("at32uc3b1256");
constexpr qsizetype kMaxKeptOutput = 8 * 1024 * 1024;
// A killed tool stuck in the kernel (a hung USB transfer) may take a moment to
// go; it is not waited for longer than this.
constexpr int kReapMs = 5000;

void keep(QByteArray &kept, const QByteArray &chunk)
{
    const qsizetype room = kMaxKeptOutput - kept.size();
    kept.append(chunk.constData(), qMin(room, chunk.size()));
}

} // namespace

DfuTool::DfuTool(QString toolPath, DfuTimeouts timeouts, QString target)
    : m_toolPath(std::move(toolPath)), m_timeouts(timeouts),
      m_target(target.isEmpty() ? kTarget : std::move(target))
{}

QString dfuTarget()
{
    return kTarget;
}

QString dfuTarget(int bus, int address)
{
    return kTarget + QStringLiteral(":%1,%2").arg(bus).arg(address);
}

DfuTool::Outcome DfuTool::run(const char *name, const QStringList &arguments, int timeoutMs) const
{
    if (m_toolPath.isEmpty())
        throw DfuToolError("no tool path is set");
    // A relative path is taken from the working directory, never searched for.
    const QFileInfo info(m_toolPath);
    const QString program = info.absoluteFilePath();
    if (!info.exists())
        throw DfuToolError("there is no file at " + program.toStdString());
    if (!info.isFile() || !info.isExecutable())
        throw DfuToolError(program.toStdString() + " is not an executable file");

    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QStringLiteral("LIBUSB_DEBUG"));

    QProcess process;
    process.setProgram(program);
    process.setArguments(arguments);
    process.setProcessEnvironment(environment);
    process.setProcessChannelMode(QProcess::MergedChannels);
    // Nobody answers a prompt: a tool that asks gets end of file, not a wait.
    process.setStandardInputFile(QProcess::nullDevice());
#ifdef Q_OS_UNIX
    // A group of its own: Ctrl+C in the terminal reaches the whole foreground
    // group, and a tool cut off in the middle of a flash leaves the hoop
    // half-written. Signals that the program holds back for its own handling
    // are let through again for the tool.
    process.setChildProcessModifier([] {
        ::setpgid(0, 0);
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
    });
#endif
    process.start(QIODevice::ReadOnly);
    if (!process.waitForStarted(-1))
        throw DfuToolError(program.toStdString() + " could not be started (" +
                           process.errorString().toStdString() + ")");

    Outcome outcome;
    QByteArray bytes;
    const QDeadlineTimer deadline(timeoutMs);
    while (process.state() != QProcess::NotRunning) {
        const qint64 left = deadline.remainingTime();
        if (left == 0) {
            outcome.timedOut = true;
            process.kill();
            process.waitForFinished(kReapMs);
            break;
        }
        const int slice = int(qMin<qint64>(left, INT_MAX));
        // Returns on new output, at the tool's exit, or when the bound is up;
        // also at once when the tool has closed its output but runs on, and
        // then only its exit is left to wait for.
        if (!process.waitForReadyRead(slice) && process.state() != QProcess::NotRunning)
            process.waitForFinished(int(qMin<qint64>(deadline.remainingTime(), INT_MAX)));
        keep(bytes, process.readAll());
    }
    keep(bytes, process.readAll());

    outcome.output = QString::fromUtf8(bytes);
    outcome.exitedZero = !outcome.timedOut && process.state() == QProcess::NotRunning &&
                         process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
    if (outcome.timedOut) {
        devLog(QString::fromLatin1(name) +
               QStringLiteral(": dfu-programmer did not finish within ") +
               QString::number(timeoutMs) + QStringLiteral(" ms and was killed"));
        return outcome;
    }
    // The loader's message (a library missing) is the first line it wrote.
    const QString said = outcome.output.trimmed().section(QLatin1Char('\n'), 0, 0).trimmed();
    if (process.exitStatus() == QProcess::CrashExit)
        outcome.broken = program + QStringLiteral(" was ended by a signal");
    else if (process.exitCode() == 126 || process.exitCode() == 127)
        outcome.broken = program + QStringLiteral(" exited with status ") +
                         QString::number(process.exitCode()) +
                         (said.isEmpty() ? QString() : QStringLiteral(" (") + said + u')');
    return outcome;
}

bool DfuTool::detected()
{
    const Outcome o = run("GET", {m_target, QStringLiteral("get")}, m_timeouts.probeMs);
    if (!o.broken.isNull())
        throw DfuToolError(o.broken.toStdString());
    return !o.timedOut && o.output.contains(QLatin1String("Bootloader Version:"));
}

bool DfuTool::erase()
{
    const Outcome o = run("ERASE", {m_target, QStringLiteral("erase")}, m_timeouts.eraseMs);
    devLog(QStringLiteral("ERASE=") + o.output);
    return o.exitedZero && o.output.isEmpty();
}

bool DfuTool::flash(const QString &imagePath)
{
    const Outcome o = run(
        "FLASH",
        {m_target, QStringLiteral("flash"), QStringLiteral("--suppress-bootloader-mem"), imagePath},
        m_timeouts.flashMs);
    devLog(QStringLiteral("FLASH=") + o.output);
    return o.exitedZero && o.output.contains(QLatin1String("bytes used"));
}

bool DfuTool::reset()
{
    const Outcome o = run("RESET", {m_target, QStringLiteral("reset")}, m_timeouts.resetMs);
    devLog(QStringLiteral("RESET=") + o.output);
    return o.exitedZero && o.output.isEmpty();
}

bool DfuTool::start()
{
    const Outcome o = run("START", {m_target, QStringLiteral("start")}, m_timeouts.startMs);
    devLog(QStringLiteral("START=") + o.output);
    return !o.timedOut && o.output.contains(QLatin1String("dfu-programmer: no device present."));
}

void DfuTool::check()
{
    const Outcome o = run("VERSION", {QStringLiteral("--version")}, m_timeouts.probeMs);
    const QString program = QFileInfo(m_toolPath).absoluteFilePath();
    if (o.timedOut)
        throw DfuToolError(program.toStdString() + " did not answer --version within " +
                           std::to_string(m_timeouts.probeMs) + " ms");
    if (!o.broken.isNull())
        throw DfuToolError(o.broken.toStdString());
    // 0.6.1 says "dfu-programmer 0.6.1" on standard error, with status 1.
    static const QRegularExpression version(QStringLiteral("dfu-programmer \\d"));
    if (!o.output.contains(version))
        throw DfuToolError(program.toStdString() + " does not say which version it is");
    devLog(QStringLiteral("DFU tool: ") + o.output.trimmed());
}

std::optional<QString> DfuTool::version()
{
    const Outcome o = run("VERSION", {QStringLiteral("--version")}, m_timeouts.probeMs);
    if (o.timedOut)
        return std::nullopt;
    return o.output;
}
