#include "updateserver.h"

#include "catalogue/cataloguesignature.h"

#include <httplib.h>

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QXmlStreamWriter>

#include <algorithm>
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

} // namespace

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

    void serve(const httplib::Request &req, httplib::Response &res) const
    {
        const QString name = QString::fromStdString(req.matches[1].str());
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

bool UpdateServer::start(const QString &host, int port)
{
    stop();
    d->error.clear();
    d->warnings.clear();
    const QDir dir(d->directory);
    d->canonicalDir = dir.canonicalPath();
    if (!dir.exists() || !dir.isReadable() || d->canonicalDir.isEmpty()) {
        d->error = QStringLiteral("%1 is not a readable directory").arg(d->directory);
        return false;
    }
    QFile own(dir.filePath(catalogueName));
    if (own.exists()) {
        if (!own.open(QIODevice::ReadOnly)) {
            d->error = QStringLiteral("cannot read %1: %2").arg(own.fileName(), own.errorString());
            return false;
        }
        d->catalogue = own.readAll();
        d->generated = false;
    } else {
        d->catalogue = generateCatalogue(d->canonicalDir, &d->warnings);
        d->generated = true;
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
    return d->catalogue;
}

bool UpdateServer::catalogueGenerated() const
{
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
    const QString howToSign = QStringLiteral("sign it with: minisign -S -s hoop.key -m ") + path;
    const QString prefix = QStringLiteral("updates.xml's signature does not verify: ");
    QFile list(path);
    if (!list.exists())
        return prefix + QStringLiteral("%1 has no updates.xml of its own, and a generated "
                                       "catalogue carries no signature; save it there (curl "
                                       "<server>/fw-updates/updates.xml -o %2, from a server "
                                       "started without --public-key), then %3")
                            .arg(directory, path, howToSign);
    QFile signature(path + QStringLiteral(".minisig"));
    if (!list.open(QIODevice::ReadOnly))
        return QStringLiteral("cannot read %1: %2").arg(path, list.errorString());
    if (!signature.open(QIODevice::ReadOnly))
        return prefix + QStringLiteral("it is missing; ") + howToSign;
    const MinisignVerdict verdict = verifyMinisign(list.readAll(), signature.readAll(), publicKeys);
    return verdict.verified ? QString() : prefix + verdict.refusal;
}

} // namespace hoopupdate
