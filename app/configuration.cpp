#include "app/configuration.h"

#include "app/buildconfig.h"
#include "platform/fetchapart.h"
#include "platform/platformpaths.h"
#include "update/toollocation.h"

Configuration Configuration::fromBuild()
{
    Configuration config;
    config.updateServerUrl = QStringLiteral(HOOP_UPDATE_SERVER_URL);
    config.bundleId = QStringLiteral(HOOP_BUNDLE_ID);
    const QString mountRoot = QStringLiteral(HOOP_MOUNT_ROOT);
    config.mountRoots = mountRoot.isEmpty() ? defaultMountRoots() : QStringList{mountRoot};
    config.resourceDir = applicationResourceDir();
    config.systemToolDirs = systemDfuToolDirs();
    config.fetchHelper = installedFetchHelper();
    config.systemSettingsFile = QStringLiteral(HOOP_SYSTEM_SETTINGS_FILE);
    config.tempDir = privateTempDir();
    config.catalogueTrust.publicKeys =
        catalogueKeysFromSetting(QStringLiteral(HOOP_CATALOGUE_PUBLIC_KEY));
    // Without a state directory there is nowhere to remember; no rollback check then.
    const QString stateDir = userStateDir();
    if (!stateDir.isEmpty())
        config.catalogueTrust.stateFile = stateDir + QLatin1Char('/') +
                                          QStringLiteral(HOOP_BUNDLE_ID) +
                                          QStringLiteral("/catalogue-timestamp");
    return config;
}
