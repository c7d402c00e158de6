#include "update/toollocation.h"

#include <QDir>
#include <QFileInfo>

namespace {
const QString kToolName = QStringLiteral("dfu-programmer");
}

QStringList systemDfuToolDirs()
{
    return {QStringLiteral("/usr/bin")};
}

QString findDfuTool(const QString &resourceDir, const QStringList &systemDirs)
{
    if (!resourceDir.isEmpty()) {
        const QFileInfo bundled(QDir(resourceDir), kToolName);
        if (bundled.isFile())
            return bundled.absoluteFilePath();
    }
    for (const QString &dir : systemDirs) {
        if (dir.isEmpty())
            continue;
        const QFileInfo tool(QDir(dir), kToolName);
        if (tool.isFile() && tool.isExecutable())
            return tool.absoluteFilePath();
    }
    return {};
}

bool isBundledDfuTool(const QString &toolPath, const QString &resourceDir)
{
    return !toolPath.isEmpty() && !resourceDir.isEmpty() &&
           QFileInfo(toolPath).absolutePath() == QDir(resourceDir).absolutePath();
}
