#include "updateserver.h"

#include "catalogue/cataloguesignature.h"
#include "catalogue/updatecheck.h"
#include "catalogue/xmlreader.h"
#include "update/firmwaredownload.h"
#include "update/firmwarefile.h"

#include <httplib.h>

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QXmlStreamWriter>

#include <algorithm>
#include <mutex>
#include <thread>

namespace hoopupdate {

namespace {

const QString catalogueName = QStringLiteral("updates.xml");

// The canonical path of name inside canonicalDir when it may be served: a
// plain, visible name of a regular file that really lies in the directory.
QString servablePath(const QString &canonicalDir, const QString &name)
{
    if (name.isEmpty() || name.startsWith(QLatin1Char('.')) || name.contains(QLatin1Char('/')) ||
        name.contains(QLatin1Char('\\')) || name.contains(QChar(0)))
        return {};
    const QString canonical = QFileInfo(canonicalDir + QLatin1Char('/') + name).canonicalFilePath();
    if (canonical.isEmpty())
        return {};
    const QFileInfo target(canonical);
    if (!target.isFile() || target.absolutePath() != canonicalDir)
        return {};
    return canonical;
}

bool urlSafe(const QString &name)
{
    static const QRegularExpression safe(QStringLiteral("^[A-Za-z0-9._~-]+$"));
    return safe.match(name).hasMatch();
}

QString versionOf(const QString &base)
{
    static const QRegularExpression trailing(QStringLiteral("[-_]v?(\\d+(?:\\.\\d+)*)$"));
    const QRegularExpressionMatch m = trailing.match(base);
    return m.hasMatch() ? m.captured(1) : base;
}

QString descriptionOf(const QString &dir, const QString &base, const QString &version)
{
    QFile sidecar(dir + QLatin1Char('/') + base + QStringLiteral(".desc"));
    if (sidecar.open(QIODevice::ReadOnly)) {
        const QString first = QString::fromUtf8(sidecar.readLine()).trimmed();
        if (!first.isEmpty())
            return first;
    }
    return QStringLiteral("Firmware ") + version;
}

QByteArray digestOf(const QString &path, QCryptographicHash::Algorithm algorithm, bool *ok)
{
    QFile file(path);
    QCryptographicHash hash(algorithm);
    *ok = file.open(QIODevice::ReadOnly) && hash.addData(&file);
    return hash.result().toHex();
}

std::string contentTypeFor(const QString &name)
{
    if (name.endsWith(QStringLiteral(".xml")))
        return "application/xml";
    if (name.endsWith(QStringLiteral(".zip")))
        return "application/zip";
    if (name.endsWith(QStringLiteral(".hex")) || name.endsWith(QStringLiteral(".desc")))
        return "text/plain";
    return "application/octet-stream";
}

void notFound(httplib::Response &res)
{
    res.status = 404;
    res.set_content("Not Found\n", "text/plain");
}

const QString signatureName = QStringLiteral("updates.xml.minisig");
// What the program fetches of a signature at most.
constexpr qint64 kSignatureMaxBytes = 8 * 1024;
// Far more than any catalogue; only keeps a stray huge file out of memory.
constexpr qint64 kCatalogueMaxBytes = 16 * 1024 * 1024;
// A key file is a few hundred bytes; a key pasted into a longer file still
// sits near its start.
constexpr qint64 kSecretKeyScanBytes = 64 * 1024;

// The bytes of name in canonicalDir, or why they can't be served.
std::optional<QByteArray> readServable(const QString &canonicalDir, const QString &name,
                                       qint64 maxBytes, QString *why)
{
    const QString path = servablePath(canonicalDir, name);
    QFile file(path);
    if (path.isEmpty()) {
        *why = QStringLiteral("it is missing, hidden, or not a regular file in the directory");
        return std::nullopt;
    }
    if (!file.open(QIODevice::ReadOnly)) {
        *why = QStringLiteral("it cannot be read: ") + file.errorString();
        return std::nullopt;
    }
    QByteArray bytes = file.read(maxBytes + 1);
    if (bytes.size() > maxBytes) {
        *why = QStringLiteral("it is larger than %1 bytes").arg(maxBytes);
        return std::nullopt;
    }
    return bytes;
}

// Why the signature over list would not do for the program, or empty.
QString signatureProblem(const QString &path, const QByteArray &list,
                         const std::optional<QByteArray> &signature, const QStringList &publicKeys)
{
    const QString howToSign =
        QStringLiteral("sign it with: minisign -S -s ~/.minisign/hoop.key -m ") + path;
    const QString prefix = QStringLiteral("updates.xml's signature does not verify: ");
    if (!signature)
        return prefix + QStringLiteral("it is missing; ") + howToSign;
    const MinisignVerdict verdict = verifyMinisign(list, *signature, publicKeys);
    if (!verdict.verified)
        return prefix + verdict.refusal;
    // Without a timestamp the program takes the list with no rollback check.
    if (!verdict.timestamp)
        return QStringLiteral("updates.xml's signature has no timestamp the program can read in "
                              "its trusted comment \"%1\", so clients could not refuse an older "
                              "list; sign again without -t, or start the comment with "
                              "timestamp:<seconds since 1970> and a tab or space")
            .arg(verdict.trustedComment);
    if (signedInFuture(*verdict.timestamp, QDateTime::currentSecsSinceEpoch()))
        return QStringLiteral("updates.xml's signature is dated in the future, %1, more than a "
                              "day past this computer's clock: the program refuses it; set the "
                              "signing computer's clock right and sign again")
            .arg(signatureDateText(*verdict.timestamp));
    return {};
}

QString generatedUnsigned(const QString &directory)
{
    const QString path = QDir(directory).filePath(catalogueName);
    return QStringLiteral("%1 has no updates.xml of its own, and a generated catalogue carries "
                          "no signature; write it there (hoop-update-server %1 "
                          "--write-catalogue), then sign it with: minisign -S -s "
                          "~/.minisign/hoop.key -m %2")
        .arg(directory, path);
}

} // namespace

bool UpdateServer::holdsSecretKey(const QByteArray &content)
{
    // A secret key line is the base64 of 158 bytes: "Ed", the key derivation
    // ("Sc", or zeros without a password), the checksum's "B2", then salt,
    // limits, key id, key and checksum. The comment above it may say anything.
    for (QByteArray line : content.split('\n')) {
        line = line.trimmed();
        if (line.size() != 212)
            continue;
        const QByteArray::FromBase64Result result =
            QByteArray::fromBase64Encoding(line, QByteArray::AbortOnBase64DecodingErrors);
        const QByteArray &decoded = result.decoded;
        if (result && decoded.size() == 158 && decoded.startsWith("Ed") &&
            decoded.mid(4, 2) == "B2")
            return true;
    }
    return false;
}

PublishCheck UpdateServer::checkForPublishing(const QString &directory,
                                              const QStringList &publicKeys, bool generate)
{
    PublishCheck check;
    const QDir dir(directory);
    const QString canonicalDir = dir.canonicalPath();
    if (canonicalDir.isEmpty() || !QFileInfo(canonicalDir).isDir() || !dir.isReadable()) {
        check.problems << QStringLiteral("%1 is not a readable directory").arg(directory);
        return check;
    }
    for (const QString &key : publicKeys)
        if (!isMinisignPublicKey(key))
            check.problems << QStringLiteral("--public-key: not a minisign public key (the "
                                             "second line of its .pub file): ") +
                                  key;

    // Every file, hidden ones too: a key must not even lie where it could be
    // served by mistake. Only regular files are opened: a pipe would block.
    const QFileInfoList entries = dir.entryInfoList(QDir::Files | QDir::Hidden | QDir::System);
    for (const QFileInfo &entry : entries) {
        if (!entry.isFile())
            continue;
        QFile file(entry.absoluteFilePath());
        if (!file.open(QIODevice::ReadOnly))
            check.warnings << QStringLiteral("%1: cannot be read (%2), so not checked for a "
                                             "secret key; it is not served")
                                  .arg(entry.fileName(), file.errorString());
        else if (holdsSecretKey(file.read(kSecretKeyScanBytes)))
            check.problems << QStringLiteral("%1: a minisign secret key; keep secret keys out of "
                                             "the served directory (for example in ~/.minisign/)")
                                  .arg(entry.fileName());
    }

    QString why;
    const bool own = !generate && QFileInfo::exists(dir.filePath(catalogueName));
    if (own) {
        const std::optional<QByteArray> list =
            readServable(canonicalDir, catalogueName, kCatalogueMaxBytes, &why);
        if (!list) {
            check.problems << catalogueName + QStringLiteral(": ") + why;
            return check;
        }
        check.catalogue = *list;
    } else {
        check.catalogue = generateCatalogue(canonicalDir, &check.warnings);
        check.generated = true;
    }
    check.files.insert(catalogueName, check.catalogue);

    // The entries as the program reads them.
    const QVariant firmware = XMLReader::firmwareListFromData(check.catalogue);
    const QVariantList entriesListed =
        firmware.typeId() == QMetaType::QVariantList
            ? firmware.toList()
            : (firmware.isValid() ? QVariantList{firmware} : QVariantList{});
    if (entriesListed.isEmpty())
        check.problems << (check.generated
                               ? QStringLiteral("no image to serve: put each as <name>.zip in ") +
                                     directory
                               : QStringLiteral("updates.xml: lists no firmware the program can "
                                                "read"));
    for (const QVariant &entry : entriesListed) {
        const QVariantMap fields = entry.toMap();
        const QString name = fields.value(QStringLiteral("filename")).toString();
        // The program leaves such an entry out of its list; nobody fetches it.
        if (!name.isEmpty() && !name.endsWith(QStringLiteral(".zip"))) {
            check.warnings << QStringLiteral("%1: its name does not end in \".zip\", so the "
                                             "program can't install it")
                                  .arg(name);
            continue;
        }
        if (!firmwareNameOf(entry)) {
            check.warnings << QStringLiteral("updates.xml: an entry without a usable file name, "
                                             "which the program skips");
            continue;
        }
        const std::optional<QByteArray> bytes =
            readServable(canonicalDir, name, kFirmwareMaxBytes, &why);
        const QVariant md5 = fields.value(QStringLiteral("MD5"));
        if (!bytes) {
            check.problems << QStringLiteral("%1: listed in updates.xml, but %2").arg(name, why);
            continue;
        }
        const DigestCheck digest =
            checkDigest(bytes, md5.typeId() == QMetaType::QString ? md5.toString() : QString());
        const QString refusal = checkFirmwareImage(*bytes).problem;
        if (!digest.passed)
            check.problems << QStringLiteral("%1: its MD5 is %2, but updates.xml gives %3")
                                  .arg(name, digest.foundDigest.toLower(),
                                       md5.typeId() == QMetaType::QString
                                           ? QStringLiteral("\"%1\"").arg(md5.toString())
                                           : QStringLiteral("none"));
        else if (!sha256Matches(*bytes, fields.value(QStringLiteral("SHA256"))))
            check.problems << QStringLiteral(
                                  "%1: its SHA-256 does not match the one updates.xml gives")
                                  .arg(name);
        else if (!refusal.isNull())
            check.problems << QStringLiteral("%1: the program would refuse to flash it: %2")
                                  .arg(name, refusal);
        else if (!check.files.contains(name)) {
            check.files.insert(name, *bytes);
            ++check.images;
        }
    }

    // A signature beside a generated catalogue signs something else.
    if (own) {
        const std::optional<QByteArray> signature =
            QFileInfo::exists(dir.filePath(signatureName))
                ? readServable(canonicalDir, signatureName, kSignatureMaxBytes, &why)
                : std::nullopt;
        if (signature)
            check.files.insert(signatureName, *signature);
        if (!publicKeys.isEmpty())
            if (const QString problem = signatureProblem(dir.filePath(catalogueName),
                                                         check.catalogue, signature, publicKeys);
                !problem.isEmpty())
                check.problems << problem;
    } else if (!publicKeys.isEmpty()) {
        check.problems << QStringLiteral("updates.xml's signature does not verify: ") +
                              generatedUnsigned(directory);
    }
    if (!check.problems.isEmpty())
        check.files.clear();
    return check;
}

struct UpdateServer::Private
{
    QString directory;
    QString canonicalDir;
    QString host;
    int port = -1;
    QByteArray catalogue;
    bool generated = false;
    QStringList warnings;
    QString error;
    std::unique_ptr<httplib::Server> server;
    std::thread thread;
    bool publishing = false;
    QStringList publicKeys;
    QStringList problems;
    mutable std::mutex snapshotLock;
    std::shared_ptr<const PublishCheck> snapshot; // what publishing serves

    std::shared_ptr<const PublishCheck> served() const
    {
        std::lock_guard guard(snapshotLock);
        return snapshot;
    }

    void serve(const httplib::Request &req, httplib::Response &res) const
    {
        const QString name = QString::fromStdString(req.matches[1].str());
        if (publishing) {
            const std::shared_ptr<const PublishCheck> now = served();
            const auto file = now->files.constFind(name);
            if (file == now->files.cend())
                return notFound(res);
            res.set_content(file->constData(), std::size_t(file->size()), contentTypeFor(name));
            return;
        }
        if (generated && name == catalogueName) {
            res.set_content(catalogue.constData(), std::size_t(catalogue.size()),
                            "application/xml");
            return;
        }
        const QString path = servablePath(canonicalDir, name);
        QFile file(path);
        if (path.isEmpty() || !file.open(QIODevice::ReadOnly))
            return notFound(res);
        const QByteArray bytes = file.readAll();
        res.set_content(bytes.constData(), std::size_t(bytes.size()), contentTypeFor(name));
    }
};

UpdateServer::UpdateServer(const QString &directory) : d(std::make_unique<Private>())
{
    d->directory = directory;
}

UpdateServer::~UpdateServer()
{
    stop();
}

bool UpdateServer::naturalLess(const QString &a, const QString &b)
{
    qsizetype i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (a[i].isDigit() && b[j].isDigit()) {
            qsizetype ie = i, je = j;
            while (ie < a.size() && a[ie].isDigit())
                ++ie;
            while (je < b.size() && b[je].isDigit())
                ++je;
            // Compare by value: drop leading zeros, then the longer run is larger.
            QStringView x = QStringView(a).mid(i, ie - i), y = QStringView(b).mid(j, je - j);
            while (x.size() > 1 && x.front() == QLatin1Char('0'))
                x = x.mid(1);
            while (y.size() > 1 && y.front() == QLatin1Char('0'))
                y = y.mid(1);
            if (x.size() != y.size())
                return x.size() < y.size();
            if (const int c = x.compare(y); c != 0)
                return c < 0;
            i = ie;
            j = je;
        } else {
            if (a[i] != b[j])
                return a[i] < b[j];
            ++i;
            ++j;
        }
    }
    if ((a.size() - i) != (b.size() - j))
        return (a.size() - i) < (b.size() - j);
    return a < b; // "fw-01" and "fw-1" still get a fixed order
}

QByteArray UpdateServer::generateCatalogue(const QString &directory, QStringList *warnings)
{
    const QDir dir(directory);
    const QString canonicalDir = dir.canonicalPath();
    QStringList names = dir.entryList({QStringLiteral("*.zip")}, QDir::Files | QDir::CaseSensitive);
    std::sort(names.begin(), names.end(), naturalLess);

    QByteArray xml;
    QXmlStreamWriter w(&xml);
    w.setAutoFormatting(true);
    w.writeStartDocument();
    w.writeStartElement(QStringLiteral("root"));
    w.writeStartElement(QStringLiteral("Hoop"));
    for (const QString &name : names) {
        const QString base = name.chopped(4);
        const QString path = servablePath(canonicalDir, name);
        auto skip = [&](const QString &why) {
            if (warnings)
                *warnings << QStringLiteral("%1 left out: %2").arg(name, why);
        };
        if (base.isEmpty() || !urlSafe(name)) {
            skip(QStringLiteral("its name cannot be used in a download address unchanged"));
            continue;
        }
        if (path.isEmpty()) {
            skip(QStringLiteral("not a regular file inside the directory"));
            continue;
        }
        bool ok = false, sha256Ok = false;
        const QByteArray md5 = digestOf(path, QCryptographicHash::Md5, &ok);
        const QByteArray sha256 = digestOf(path, QCryptographicHash::Sha256, &sha256Ok);
        if (!ok || !sha256Ok) {
            skip(QStringLiteral("cannot be read"));
            continue;
        }
        const QString version = versionOf(base);
        w.writeEmptyElement(QStringLiteral("FIRMWARE"));
        w.writeAttribute(QStringLiteral("filename"), name);
        w.writeAttribute(QStringLiteral("version"), version);
        w.writeAttribute(QStringLiteral("date"), QFileInfo(path).lastModified().toUTC().toString(
                                                     QStringLiteral("yyyy-MM-dd")));
        w.writeAttribute(QStringLiteral("MD5"), QString::fromLatin1(md5));
        // Binds the image more strongly than MD5, once the list is signed.
        w.writeAttribute(QStringLiteral("SHA256"), QString::fromLatin1(sha256));
        w.writeAttribute(QStringLiteral("desc"), descriptionOf(canonicalDir, base, version));
    }
    w.writeEndDocument();
    return xml;
}

// Serves check from now on, when it checked out.
bool UpdateServer::takeUp(Private &p, PublishCheck check)
{
    p.warnings = check.warnings;
    if (!check.problems.isEmpty()) {
        p.problems = check.problems;
        p.error = check.problems.join(QLatin1Char('\n'));
        return false;
    }
    std::lock_guard guard(p.snapshotLock);
    p.catalogue = check.catalogue;
    p.generated = check.generated;
    p.snapshot = std::make_shared<const PublishCheck>(std::move(check));
    return true;
}

bool UpdateServer::serveAsItLies(Private &p, const QDir &dir)
{
    if (!dir.exists() || !dir.isReadable() || p.canonicalDir.isEmpty()) {
        p.error = QStringLiteral("%1 is not a readable directory").arg(p.directory);
        return false;
    }
    QFile own(dir.filePath(catalogueName));
    if (!own.exists()) {
        p.catalogue = generateCatalogue(p.canonicalDir, &p.warnings);
        p.generated = true;
        return true;
    }
    if (!own.open(QIODevice::ReadOnly)) {
        p.error = QStringLiteral("cannot read %1: %2").arg(own.fileName(), own.errorString());
        return false;
    }
    p.catalogue = own.readAll();
    p.generated = false;
    return true;
}

bool UpdateServer::start(const QString &host, int port)
{
    stop();
    d->error.clear();
    d->warnings.clear();
    d->problems.clear();
    const QDir dir(d->directory);
    d->canonicalDir = dir.canonicalPath();
    if (d->publishing) {
        if (!takeUp(*d, checkForPublishing(d->directory, d->publicKeys)))
            return false;
    } else if (!serveAsItLies(*d, dir)) {
        return false;
    }

    d->server = std::make_unique<httplib::Server>();
    // The library's default, SO_REUSEPORT, lets a second server share a busy
    // port and take half of its requests; a taken port must be an error.
    d->server->set_socket_options([](socket_t sock) {
        int yes = 1;
        setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
    const Private *p = d.get();
    d->server->Get(R"(/fw-updates/(.*))", [p](const httplib::Request &req, httplib::Response &res) {
        p->serve(req, res);
    });
    const std::string h = host.toStdString();
    const int bound =
        port == 0 ? d->server->bind_to_any_port(h) : (d->server->bind_to_port(h, port) ? port : -1);
    if (bound < 0) {
        d->error = QStringLiteral("cannot listen on %1:%2").arg(host).arg(port);
        d->server.reset();
        return false;
    }
    d->host = host;
    d->port = bound;
    httplib::Server *server = d->server.get();
    d->thread = std::thread([server] { server->listen_after_bind(); });
    // stop() only takes effect once the accept loop runs.
    while (!server->is_running())
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return true;
}

void UpdateServer::stop()
{
    if (!d->server)
        return;
    d->server->stop();
    if (d->thread.joinable())
        d->thread.join();
    d->server.reset();
}

void UpdateServer::setPublishing(const QStringList &publicKeys)
{
    d->publishing = true;
    d->publicKeys = publicKeys;
}

UpdateServer::Reload UpdateServer::reload()
{
    Reload result;
    PublishCheck check = checkForPublishing(d->directory, d->publicKeys);
    result.warnings = check.warnings;
    result.problems = check.problems;
    const std::shared_ptr<const PublishCheck> before = d->served();
    result.changed = !before || before->files != check.files;
    // With problems the last snapshot stays served; they are the caller's to tell.
    result.takenUp = result.problems.isEmpty() && takeUp(*d, std::move(check));
    return result;
}

int UpdateServer::imageCount() const
{
    const std::shared_ptr<const PublishCheck> now = d->served();
    return now ? now->images : 0;
}

QStringList UpdateServer::problems() const
{
    return d->problems;
}

bool UpdateServer::isRunning() const
{
    return d->server && d->server->is_running();
}

int UpdateServer::port() const
{
    return d->port;
}

QString UpdateServer::host() const
{
    return d->host;
}

QString UpdateServer::baseUrl() const
{
    const QString h =
        d->host.contains(QLatin1Char(':')) ? QStringLiteral("[%1]").arg(d->host) : d->host;
    return QStringLiteral("http://%1:%2").arg(h).arg(d->port);
}

QString UpdateServer::catalogueUrl() const
{
    return baseUrl() + QStringLiteral("/fw-updates/updates.xml");
}

QByteArray UpdateServer::catalogue() const
{
    std::lock_guard guard(d->snapshotLock);
    return d->catalogue;
}

bool UpdateServer::catalogueGenerated() const
{
    std::lock_guard guard(d->snapshotLock);
    return d->generated;
}

QStringList UpdateServer::warnings() const
{
    return d->warnings;
}

QString UpdateServer::errorString() const
{
    return d->error;
}

QString catalogueSignatureProblem(const QString &directory, const QStringList &publicKeys)
{
    for (const QString &key : publicKeys)
        if (!isMinisignPublicKey(key))
            return QStringLiteral("--public-key: not a minisign public key (the second line of its "
                                  ".pub file): ") +
                   key;
    const QString path = QDir(directory).filePath(catalogueName);
    QFile list(path);
    if (!list.exists())
        return QStringLiteral("updates.xml's signature does not verify: ") +
               generatedUnsigned(directory);
    if (!list.open(QIODevice::ReadOnly))
        return QStringLiteral("cannot read %1: %2").arg(path, list.errorString());
    QFile signature(path + QStringLiteral(".minisig"));
    return signatureProblem(path, list.readAll(),
                            signature.open(QIODevice::ReadOnly)
                                ? std::optional<QByteArray>(signature.read(kSignatureMaxBytes + 1))
                                : std::nullopt,
                            publicKeys);
}

} // namespace hoopupdate
