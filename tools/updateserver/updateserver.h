#pragma once

// A small firmware update server: serves the files of one directory under
// "/fw-updates/" over plain HTTP, on its own thread.
//
// The catalogue "/fw-updates/updates.xml" is the directory's own updates.xml
// when it has one, served as it is. Otherwise it is generated once, at start,
// from the directory's "*.zip" files in natural name order ("fw-1.9" before
// "fw-1.10"), one FIRMWARE element each:
//   filename  the file name, e.g. "hoop-fw-1.2.0.zip"
//   version   the trailing number of the name without ".zip" ("1.2.0"; digits
//             and dots after the last '-' or '_'), else the whole name
//   date      the file's modification day, UTC, as yyyy-MM-dd
//   MD5       the MD5 digest of the file's bytes, 32 lower-case hex digits
//   SHA256    its SHA-256 digest, 64 lower-case hex digits
//   desc      the first line of the sidecar "<name>.desc" beside it, if any,
//             else "Firmware " + version
// A ".zip" file whose name is not safe in a URL as it stands (anything but
// letters, digits and "-._~") is left out with a warning: the application puts
// the name into the download address without escaping.
//
// Only regular files directly inside the directory are served, never hidden
// ones, and never anything a link leads to outside it; everything else is 404.
// So the catalogue's minisign signature, "updates.xml.minisig", is served as
// it lies beside the directory's own updates.xml.
//
//   UpdateServer server(dir);
//   if (!server.start()) qFatal("%s", qPrintable(server.errorString()));
//   config.updateServerUrl = server.baseUrl();   // "http://127.0.0.1:<port>"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <memory>

namespace hoopupdate {

class UpdateServer
{
public:
    explicit UpdateServer(const QString &directory);
    ~UpdateServer(); // stops the server
    UpdateServer(const UpdateServer &) = delete;
    UpdateServer &operator=(const UpdateServer &) = delete;

    // Binds host:port (port 0: a free one) and starts serving. False, with
    // errorString(), when the directory cannot be read or the port bound.
    bool start(const QString &host = QStringLiteral("127.0.0.1"), int port = 0);
    void stop(); // waits for the server thread; safe to call twice
    bool isRunning() const;

    int port() const;
    QString host() const;
    QString baseUrl() const;      // "http://<host>:<port>", no trailing slash
    QString catalogueUrl() const; // baseUrl() + "/fw-updates/updates.xml"
    QByteArray catalogue() const; // the catalogue as served
    bool catalogueGenerated() const;
    QStringList warnings() const; // files left out of a generated catalogue, and why
    QString errorString() const;

    // The catalogue that would be generated for directory now.
    static QByteArray generateCatalogue(const QString &directory, QStringList *warnings = nullptr);
    // "fw-1.9.zip" sorts before "fw-1.10.zip": digit runs compare by value.
    static bool naturalLess(const QString &a, const QString &b);

private:
    struct Private;
    std::unique_ptr<Private> d;
};

// Why the directory's catalogue would not verify against publicKeys (minisign
// public key lines, "RW...") in the program, as one line for the vendor:
// a key that is not one, a generated catalogue (it has no signature), a
// missing updates.xml.minisig, or the verifier's refusal. Empty when it verifies.
QString catalogueSignatureProblem(const QString &directory, const QStringList &publicKeys);

} // namespace hoopupdate
