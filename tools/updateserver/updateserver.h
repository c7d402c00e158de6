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
// As it starts, the server serves the directory as it lies, for tests that
// need a server with faults: any regular file directly inside it, never hidden
// ones, and never anything a link leads to outside it; everything else is 404.
//
// Publishing (setPublishing(), what hoop-update-server does) serves only what
// a hoop takes: "updates.xml", "updates.xml.minisig" beside the directory's
// own updates.xml, and the files the catalogue lists; everything else is 404.
// It serves a snapshot, read into memory and checked as a whole: no minisign
// secret key anywhere in the directory (found by content), every listed image
// present, matching its MD5 and SHA256 and passing the program's own image
// check, and with public keys the catalogue's signature verifying, dated no
// later than a day past this computer's clock and carrying a timestamp the
// program can read. start() refuses a directory that fails; reload() takes up
// a changed directory only once it checks out, else the last snapshot stays.
//
//   UpdateServer server(dir);
//   if (!server.start()) qFatal("%s", qPrintable(server.errorString()));
//   config.updateServerUrl = server.baseUrl();   // "http://127.0.0.1:<port>"

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QStringList>

#include <memory>

class QDir;

namespace hoopupdate {

// What publishing would serve from a directory, and why not.
struct PublishCheck
{
    QByteArray catalogue;
    bool generated = false;
    QMap<QString, QByteArray> files; // by name: the catalogue, its signature, the images
    int images = 0;
    QStringList problems; // one line per file; any at all: nothing is served
    QStringList warnings;
};

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
    // Serve a checked snapshot only (see above), verified against publicKeys
    // when there are any. Before start().
    void setPublishing(const QStringList &publicKeys = {});

    struct Reload
    {
        bool takenUp = false; // the directory checked out and is served now
        bool changed = false; // what is served differs from before
        QStringList problems; // why not taken up
        QStringList warnings;
    };
    // Publishing: checks the directory again; safe while serving.
    Reload reload();
    int imageCount() const; // images in the served snapshot
    // Why start() refused the directory, one line per file, when publishing.
    QStringList problems() const;
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
    // What publishing directory would serve; with generate, a catalogue made
    // from its images whether or not it has its own.
    static PublishCheck checkForPublishing(const QString &directory,
                                           const QStringList &publicKeys = {},
                                           bool generate = false);
    // True when content holds a minisign secret key, encrypted or not.
    static bool holdsSecretKey(const QByteArray &content);
    // "fw-1.9.zip" sorts before "fw-1.10.zip": digit runs compare by value.
    static bool naturalLess(const QString &a, const QString &b);

private:
    struct Private;
    static bool takeUp(Private &p, PublishCheck check);
    static bool serveAsItLies(Private &p, const QDir &dir);
    std::unique_ptr<Private> d;
};

// Why the directory's catalogue would not verify against publicKeys (minisign
// public key lines, "RW...") in the program, as one line for the vendor:
// a key that is not one, a generated catalogue (it has no signature), a
// missing updates.xml.minisig, the verifier's refusal, a trusted comment with
// no timestamp the program can read, or one more than a day past now. Empty
// when it verifies.
QString catalogueSignatureProblem(const QString &directory, const QStringList &publicKeys);

} // namespace hoopupdate
