#include "app/configuration.h"

#include "app/buildconfig.h"
#include "platform/platformpaths.h"

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
