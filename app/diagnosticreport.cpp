#include "app/diagnosticreport.h"

#include "app/buildconfig.h"
#include "app/configuration.h"
#include "app/systemconfig.h"
#include "platform/devlog.h"
#include "update/dfutool.h"
#include "update/toollocation.h"

#include <QSysInfo>
#include <QThread>

#include <memory>

namespace {

QString hex4(quint16 value)
{
    return QStringLiteral("%1").arg(value, 4, 16, QLatin1Char('0'));
}

QString describeAccess(const UsbDevice &device)
{
    switch (device.access) {
    case UsbAccess::Opened:
        return QStringLiteral("may be opened");
    case UsbAccess::Denied:
        return QStringLiteral("may not be opened (no permission)");
    case UsbAccess::Failed:
        return QStringLiteral("may not be opened (") + device.error + QStringLiteral(")");
    case UsbAccess::Untried:
        break;
    }
    return QStringLiteral("not opened while an update runs");
}

QStringList usbLines(const std::optional<QList<UsbDevice>> &devices)
{
    if (!devices)
        return {QStringLiteral("(USB could not be looked at)")};
    if (devices->isEmpty())
        return {QStringLiteral("(none)")};
    QStringList lines;
    for (const UsbDevice &device : *devices)
        lines << hex4(device.vendorId) + QLatin1Char(':') + hex4(device.productId) +
                     QStringLiteral(" bus %1 address %2: ").arg(device.bus).arg(device.address) +
                     describeAccess(device);
    return lines;
}

void section(QString &report, const QString &name, const QString &body)
{
    report += QStringLiteral("== ") + name + QStringLiteral(" ==\n") + body;
    if (!body.isEmpty() && !body.endsWith(QLatin1Char('\n')))
        report += QLatin1Char('\n');
    report += QLatin1Char('\n');
}

} // namespace

QString diagnosticReport(const DiagnosticInputs &in)
{
    QString report = QStringLiteral("Vexlume Hoop Updater diagnostic report\n\n");
    section(report, QStringLiteral("Program"),
            QStringLiteral("hoop-updater ") + in.programVersion + QStringLiteral("\nQt ") +
                in.qtVersion + QStringLiteral("\n") + in.operatingSystem);
    section(report, QStringLiteral("DFU tool"),
            (in.toolPath.isNull() ? QStringLiteral("(not bundled)")
             : in.toolBundled     ? in.toolPath
                                  : in.toolPath + QStringLiteral(" (the system's; none bundled)")) +
                QStringLiteral("\n") + in.toolVersion.trimmed());
    section(report, QStringLiteral("Update server"),
            QStringList(QStringList{in.updateServerUrl} + in.serverDetails).join('\n'));
    section(report, QStringLiteral("USB devices of vendor 03eb"),
            usbLines(in.usbDevices).join('\n'));
    section(report, QStringLiteral("Console"), in.consoleText);
    section(report, QStringLiteral("Developer log, last %1 lines").arg(in.devLogLines.size()),
            in.devLogLines.join(QLatin1Char('\n')));
    return report;
}

DiagnosticInputs gatherDiagnostics(const Configuration &configuration, bool openDevices,
                                   const QString &consoleText)
{
    DiagnosticInputs in;
    in.programVersion = QStringLiteral(HOOP_VERSION);
    in.qtVersion = QString::fromLatin1(qVersion());
    in.operatingSystem = QSysInfo::prettyProductName();
    in.toolPath = findDfuTool(configuration.resourceDir, configuration.systemToolDirs);
    in.toolBundled = isBundledDfuTool(in.toolPath, configuration.resourceDir);
    if (in.toolPath.isNull()) {
        in.toolVersion = QStringLiteral("(no tool to ask for its version)");
    } else {
        try {
            const std::optional<QString> version =
                DfuTool(in.toolPath, configuration.dfuTimeouts).version();
            in.toolVersion = version ? *version
                                     : QStringLiteral("(no answer to --version within %1 ms)")
                                           .arg(configuration.dfuTimeouts.probeMs);
        } catch (const DfuToolError &error) {
            in.toolVersion = QStringLiteral("(could not run it: ") +
                             QString::fromUtf8(error.what()) + QStringLiteral(")");
        }
    }
    in.updateServerUrl = configuration.updateServerUrl;
    // The summary's first line repeats the address; only where it came from is new.
    in.serverDetails = configurationSummary(configuration).mid(1);
    in.serverDetails.prepend(QStringLiteral("Set by: ") + configuration.serverOrigin);
    in.usbDevices = listUsbDevices(0x03eb, -1, openDevices);
    in.consoleText = consoleText;
    in.devLogLines = recentDevLogLines();
    return in;
}

void buildDiagnosticReport(const Configuration &configuration, bool openDevices,
                           const QString &consoleText, QObject *context,
                           const std::function<void(const QString &report)> &done)
{
    auto report = std::make_shared<QString>();
    QThread *thread = QThread::create([configuration, openDevices, consoleText, report] {
        *report = diagnosticReport(gatherDiagnostics(configuration, openDevices, consoleText));
    });
    thread->setObjectName(QStringLiteral("diagnostic report"));
    QObject::connect(thread, &QThread::finished, context, [report, done] { done(*report); });
    QObject::connect(thread, &QThread::finished, thread, &QObject::deleteLater);
    thread->start();
}
