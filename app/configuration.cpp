#include "app/configuration.h"

#include "app/buildconfig.h"
#include "platform/platformpaths.h"

#include <QCoreApplication>

Configuration Configuration::fromBuild()
{
    Configuration config;
    config.updateServerUrl = QStringLiteral(HOOP_UPDATE_SERVER_URL);
    config.bundleId = QStringLiteral(HOOP_BUNDLE_ID);
    const QString mountRoot = QStringLiteral(HOOP_MOUNT_ROOT);
    config.mountRoots = mountRoot.isEmpty() ? defaultMountRoots() : QStringList{mountRoot};
    config.resourceDir = applicationResourceDir();
    config.tempDir = privateTempDir();
    return config;
}

Configuration Configuration::fromCommandLine()
{
    Configuration config = fromBuild();
    // Qt has taken its own options out already; the program reads no others.
    config.firmwareFile = QCoreApplication::arguments().value(1);
    return config;
}
