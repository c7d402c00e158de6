#include "app/configuration.h"

#include "app/buildconfig.h"
#include "platform/platformpaths.h"

#include <QDir>

Configuration Configuration::fromBuild()
{
    Configuration config;
    config.updateServerUrl = QStringLiteral(HOOP_UPDATE_SERVER_URL);
    config.bundleId = QStringLiteral(HOOP_BUNDLE_ID);
    const QString mountRoot = QStringLiteral(HOOP_MOUNT_ROOT);
    config.mountRoot = mountRoot.isEmpty() ? defaultMountRoot() : mountRoot;
    config.resourceDir = applicationResourceDir();
    config.tempDir = QDir::tempPath();
    return config;
}
