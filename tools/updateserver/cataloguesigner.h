#pragma once

#include <QByteArray>
#include <QString>

namespace hoopupdate {

// Signs a catalogue as minisign does (algorithm "ED": an Ed25519 signature
// over the file's BLAKE2b-512 hash, and a global signature binding the
// trusted comment to it), with a key pair made when the signer is made and
// never written anywhere. For the demo and the benchmarks, which need a
// signed list without a vendor's key; vendors sign with minisign itself.
class CatalogueSigner
{
public:
    CatalogueSigner();
    ~CatalogueSigner(); // wipes the secret key
    CatalogueSigner(const CatalogueSigner &) = delete;
    CatalogueSigner &operator=(const CatalogueSigner &) = delete;

    // False when libsodium could not start; nothing is signed then.
    bool isValid() const { return m_valid; }
    // The key as the second line of a minisign .pub file: "RW...".
    QString publicKey() const;
    // The whole signature file ("<file>.minisig") for data.
    QByteArray sign(const QByteArray &data, const QByteArray &trustedComment) const;

    // "timestamp:<now>\tfile:<fileName>\thashed", what minisign writes by default.
    static QByteArray defaultTrustedComment(const QString &fileName);

private:
    bool m_valid = false;
    unsigned char m_keyId[8] = {};
    unsigned char m_publicKey[32] = {};
    unsigned char m_secretKey[64] = {};
};

} // namespace hoopupdate
