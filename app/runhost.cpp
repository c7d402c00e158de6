#include "app/runhost.h"

#include "update/dfutool.h"
#include "update/hoopvolume.h"
#include "update/toollocation.h"

#include <QDir>
#include <QFileInfo>

ConfiguredRunHost::ConfiguredRunHost(Configuration configuration)
    : m_configuration(std::move(configuration))
{}

QString ConfiguredRunHost::dfuToolPath() const
{
    QMutexLocker lock(&m_dfuToolPathLock);
    return m_dfuToolPath;
}

void ConfiguredRunHost::setDfuToolPath(const QString &path)
{
    QMutexLocker lock(&m_dfuToolPathLock);
    m_dfuToolPath = path;
}

QString ConfiguredRunHost::bundledToolPath() const
{
    return findDfuTool(m_configuration.resourceDir, m_configuration.systemToolDirs);
}

std::optional<HoopVolume> ConfiguredRunHost::getVexlumeHoopVolumeLabel()
{
    return findHoopVolume(m_configuration.mountRoots);
}

bool ConfiguredRunHost::vexlumeHoopDFUDetected()
{
    return DfuTool(dfuToolPath(), m_configuration.dfuTimeouts).detected();
}

bool ConfiguredRunHost::vexlumeHoopErase()
{
    return DfuTool(dfuToolPath(), m_configuration.dfuTimeouts).erase();
}

bool ConfiguredRunHost::vexlumeHoopFlash(const QString &imagePath)
{
    return DfuTool(dfuToolPath(), m_configuration.dfuTimeouts).flash(imagePath);
}

bool ConfiguredRunHost::vexlumeHoopReset()
{
    return DfuTool(dfuToolPath(), m_configuration.dfuTimeouts).reset();
}

bool ConfiguredRunHost::vexlumeHoopStart()
{
    return DfuTool(dfuToolPath(), m_configuration.dfuTimeouts).start();
}

std::optional<QList<UsbDevice>> ConfiguredRunHost::usbDevices(quint16 vendorId, int productId)
{
    return listUsbDevices(vendorId, productId);
}

SleepInhibitor ConfiguredRunHost::keepAwakeForUpdate()
{
    return SleepInhibitor(QStringLiteral("Vexlume Hoop Updater"),
                          QStringLiteral("The Vexlume Hoop's firmware is being updated"));
}
