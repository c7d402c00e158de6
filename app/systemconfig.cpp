#include "app/systemconfig.h"

#include "catalogue/cataloguesignature.h"

#include <QByteArray>
#include <QFile>
#include <QFileInfo>
#include <QUrl>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

SystemSettings ignored(const QString &reason)
{
    SystemSettings settings;
    settings.state = SystemSettings::State::Ignored;
    settings.reason = reason;
    return settings;
}

QString mode(mode_t bits)
{
    return QStringLiteral("mode %1").arg(bits & 07777, 4, 8, QLatin1Char('0'));
}

// Why a file or directory that others could change is not trusted; empty when it is.
QString writableByOthers(const struct stat &info, uid_t owner, const QString &what)
{
    if (info.st_uid != owner)
        return what + QStringLiteral(" is not owned by root");
    if (info.st_mode & S_IWGRP)
        return what + QStringLiteral(" is writable by its group (") + mode(info.st_mode) +
               QLatin1Char(')');
    if (info.st_mode & S_IWOTH)
        return what + QStringLiteral(" is writable by others (") + mode(info.st_mode) +
               QLatin1Char(')');
    return {};
}

QString systemError(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

// The file's bytes, read from the descriptor whose owner and mode were checked,
// so that a file swapped in between cannot be read instead.
SystemSettings readTrusted(const QString &path, uid_t owner, QByteArray &content)
{
    const QByteArray name = QFile::encodeName(path);
    // Non-blocking, so that a FIFO put there cannot hold the program up.
    const int fd = ::open(name.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        const int error = errno;
        if (error == ENOENT || error == ENOTDIR)
            return {};
        return ignored(QStringLiteral("it cannot be opened: ") + systemError(error));
    }
    struct Closer
    {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};

    struct stat info
    {};
    if (::fstat(fd, &info) != 0)
        return ignored(QStringLiteral("it cannot be examined: ") + systemError(errno));
    if (!S_ISREG(info.st_mode))
        return ignored(QStringLiteral("it is not a regular file"));
    QString problem = writableByOthers(info, owner, QStringLiteral("it"));
    if (!problem.isEmpty())
        return ignored(problem);
    // Whoever may write the directory may put another file in its place.
    const QString dir = QFileInfo(path).absolutePath();
    struct stat dirInfo
    {};
    if (::stat(QFile::encodeName(dir).constData(), &dirInfo) != 0)
        return ignored(QStringLiteral("its directory cannot be examined: ") + systemError(errno));
    problem = writableByOthers(dirInfo, owner, QStringLiteral("its directory ") + dir);
    if (!problem.isEmpty())
        return ignored(problem);
    if (info.st_size > systemSettingsMaxBytes)
        return ignored(
            QStringLiteral("it is larger than %1 KiB").arg(systemSettingsMaxBytes / 1024));

    // Read to the bound plus one byte: a file that grew since fstat is caught too.
    content.resize(systemSettingsMaxBytes + 1);
    qint64 total = 0;
    while (total < content.size()) {
        const ssize_t got = ::read(fd, content.data() + total, size_t(content.size() - total));
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return ignored(QStringLiteral("it cannot be read: ") + systemError(errno));
        if (got == 0)
            break;
        total += got;
    }
    if (total > systemSettingsMaxBytes)
        return ignored(
            QStringLiteral("it is larger than %1 KiB").arg(systemSettingsMaxBytes / 1024));
    content.truncate(total);
    SystemSettings settings;
    settings.state = SystemSettings::State::Read;
    return settings;
}

SystemSettings parse(const QByteArray &content)
{
    SystemSettings settings;
    settings.state = SystemSettings::State::Read;
    if (content.contains('\0'))
        return ignored(QStringLiteral("it is not a text file"));
    const QString text = QString::fromUtf8(content);
    if (text.contains(QChar::ReplacementCharacter))
        return ignored(QStringLiteral("it is not UTF-8 text"));
    const QStringList lines = text.split(QLatin1Char('\n'));
    for (qsizetype i = 0; i < lines.size(); ++i) {
        const QString line = lines[i].trimmed();
        if (line.isEmpty() || line.startsWith(QLatin1Char('#')))
            continue;
        const QString at = QStringLiteral("line %1: ").arg(i + 1);
        const qsizetype equals = line.indexOf(QLatin1Char('='));
        if (equals < 0)
            return ignored(at + QStringLiteral("no \"=\" between a name and a value"));
        const QString name = line.left(equals).trimmed();
        const QString value = line.mid(equals + 1).trimmed();
        if (name == QStringLiteral("server")) {
            if (!settings.serverUrl.isEmpty())
                return ignored(at + QStringLiteral("a second \"server\""));
            QString problem;
            settings.serverUrl = serverBaseUrl(value, &problem);
            if (settings.serverUrl.isNull())
                return ignored(at + QStringLiteral("server: ") + problem);
        } else if (name == QStringLiteral("public-key")) {
            if (!isMinisignPublicKey(value))
                return ignored(at + QStringLiteral("public-key: not a minisign public key (the "
                                                   "second line of a .pub file)"));
            if (!settings.publicKeys.contains(value))
                settings.publicKeys << value;
        } else {
            return ignored(at + QStringLiteral("\"") + name +
                           QStringLiteral("\" is not a setting (server, public-key)"));
        }
    }
    return settings;
}

} // namespace

SystemSettings readSystemSettings(const QString &path, uid_t owner)
{
    QByteArray content;
    const SystemSettings opened = readTrusted(path, owner, content);
    if (opened.state != SystemSettings::State::Read)
        return opened;
    return parse(content);
}

QString serverBaseUrl(const QString &text, QString *problem)
{
    auto refuse = [problem](const QString &why) {
        if (problem)
            *problem = why;
        return QString();
    };
    QString base = text.trimmed();
    while (base.endsWith(QLatin1Char('/')))
        base.chop(1);
    const QUrl url(base, QUrl::StrictMode);
    if (base.isEmpty() || !url.isValid())
        return refuse(QStringLiteral("\"") + text + QStringLiteral("\" is not an address"));
    if (url.scheme() != QStringLiteral("http") && url.scheme() != QStringLiteral("https"))
        return refuse(QStringLiteral("\"") + text +
                      QStringLiteral("\" is not an http:// or https:// address"));
    if (url.host().isEmpty())
        return refuse(QStringLiteral("\"") + text + QStringLiteral("\" names no host"));
    if (url.hasQuery() || url.hasFragment() || !url.userInfo().isEmpty())
        return refuse(QStringLiteral("\"") + text +
                      QStringLiteral("\" has more than a base address (a query, a fragment "
                                     "or a user name)"));
    return base;
}

QString applySystemSettings(Configuration &configuration, const QString &serverOverride)
{
    QString warning;
    const QString &file = configuration.systemSettingsFile;
    if (!file.isEmpty()) {
        const SystemSettings settings = readSystemSettings(file);
        switch (settings.state) {
        case SystemSettings::State::Absent:
            configuration.systemSettingsNote = QStringLiteral("not present");
            break;
        case SystemSettings::State::Ignored:
            configuration.systemSettingsNote = QStringLiteral("ignored: ") + settings.reason;
            warning = QStringLiteral("Ignoring ") + file + QStringLiteral(": ") + settings.reason +
                      QStringLiteral(". The built-in update server and keys are used.");
            break;
        case SystemSettings::State::Read:
            configuration.systemSettingsNote = QStringLiteral("read");
            if (!settings.serverUrl.isEmpty()) {
                configuration.updateServerUrl = settings.serverUrl;
                configuration.serverOrigin = file;
            }
            for (const QString &key : settings.publicKeys) {
                if (configuration.catalogueTrust.publicKeys.contains(key))
                    continue;
                configuration.catalogueTrust.publicKeys << key;
                ++configuration.systemSettingsKeys;
            }
            break;
        }
    }
    // Only the address: the keys, and with them the need for a signature, stay.
    if (!serverOverride.isEmpty()) {
        configuration.updateServerUrl = serverOverride;
        configuration.serverOrigin = QStringLiteral("--server");
    }
    return warning;
}

QStringList configurationSummary(const Configuration &configuration)
{
    QStringList lines;
    lines << QStringLiteral("Update server: ") + configuration.updateServerUrl +
                 QStringLiteral(" (") + configuration.serverOrigin + QLatin1Char(')');
    const qsizetype keys = configuration.catalogueTrust.publicKeys.size();
    if (keys == 0) {
        lines << QStringLiteral("Firmware list signature: not required (no keys)");
    } else {
        const qsizetype fromFile = configuration.systemSettingsKeys;
        lines << QStringLiteral("Firmware list signature: required, %1 key%2 (%3 built in, %4 "
                                "from the settings file)")
                     .arg(keys)
                     .arg(keys == 1 ? QString() : QStringLiteral("s"))
                     .arg(keys - fromFile)
                     .arg(fromFile);
    }
    if (!configuration.systemSettingsFile.isEmpty())
        lines << QStringLiteral("Settings file: ") + configuration.systemSettingsFile +
                     QStringLiteral(", ") +
                     (configuration.systemSettingsNote.isEmpty()
                          ? QStringLiteral("not looked at")
                          : configuration.systemSettingsNote);
    return lines;
}
