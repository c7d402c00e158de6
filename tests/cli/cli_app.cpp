// The shipped program, arguments and all, with the places it would take from
// the build or the installation taken from the environment (HOOPTEST_*), so that the terminal's
// tests can point it at their own server, hoop and directories.

#include "app/application.h"
#include "leakcheck.h"

#include <QtGlobal>

int main(int argc, char *argv[])
{
    return afterLeakCheck(runProgram(argc, argv, [](Configuration &config) {
        config.updateServerUrl = qEnvironmentVariable("HOOPTEST_SERVER");
        config.bundleId = QStringLiteral("org.example.hoop-updater-test");
        config.mountRoots = {qEnvironmentVariable("HOOPTEST_MOUNT_ROOT")};
        config.resourceDir = qEnvironmentVariable("HOOPTEST_RESOURCE_DIR");
        // Neither this machine's own tool nor its settings file, unless a test names them.
        config.systemToolDirs = qEnvironmentVariable("HOOPTEST_SYSTEM_TOOL_DIRS")
                                    .split(QLatin1Char(':'), Qt::SkipEmptyParts);
        config.systemSettingsFile = qEnvironmentVariable("HOOPTEST_SETTINGS_FILE");
        config.tempDir = qEnvironmentVariable("HOOPTEST_TEMP_DIR");
        config.catalogueTrust.publicKeys =
            catalogueKeysFromSetting(qEnvironmentVariable("HOOPTEST_PUBLIC_KEYS"));
        // Unless told otherwise, the shipped program's own place under the user's state directory.
        if (qEnvironmentVariableIsSet("HOOPTEST_STATE_FILE"))
            config.catalogueTrust.stateFile = qEnvironmentVariable("HOOPTEST_STATE_FILE");
    }));
}
