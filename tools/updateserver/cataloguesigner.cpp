#include "cataloguesigner.h"

#include <QDateTime>

#include <sodium.h>

namespace hoopupdate {

namespace {

QByteArray bytes(const unsigned char *data, size_t size)
{
    return QByteArray(reinterpret_cast<const char *>(data), qsizetype(size));
}

} // namespace

static_assert(crypto_sign_PUBLICKEYBYTES == 32 && crypto_sign_SECRETKEYBYTES == 64);

CatalogueSigner::CatalogueSigner()
{
    if (sodium_init() < 0 || crypto_sign_keypair(m_publicKey, m_secretKey) != 0)
        return;
    randombytes_buf(m_keyId, sizeof m_keyId);
    m_valid = true;
}

CatalogueSigner::~CatalogueSigner()
{
    sodium_memzero(m_secretKey, sizeof m_secretKey);
}

QString CatalogueSigner::publicKey() const
{
    const QByteArray key =
        "Ed" + bytes(m_keyId, sizeof m_keyId) + bytes(m_publicKey, sizeof m_publicKey);
    return QString::fromLatin1(key.toBase64());
}

QByteArray CatalogueSigner::sign(const QByteArray &data, const QByteArray &trustedComment) const
{
    if (!m_valid)
        return {};
    unsigned char hash[crypto_generichash_BYTES_MAX];
    crypto_generichash(hash, sizeof hash, reinterpret_cast<const unsigned char *>(data.constData()),
                       static_cast<unsigned long long>(data.size()), nullptr, 0);
    unsigned char signature[crypto_sign_BYTES];
    crypto_sign_detached(signature, nullptr, hash, sizeof hash, m_secretKey);
    const QByteArray global = bytes(signature, sizeof signature) + trustedComment;
    unsigned char globalSignature[crypto_sign_BYTES];
    crypto_sign_detached(globalSignature, nullptr,
                         reinterpret_cast<const unsigned char *>(global.constData()),
                         static_cast<unsigned long long>(global.size()), m_secretKey);
    const QByteArray line =
        "ED" + bytes(m_keyId, sizeof m_keyId) + bytes(signature, sizeof signature);
    return "untrusted comment: signature from a key made for this run\n" + line.toBase64() +
           "\ntrusted comment: " + trustedComment + '\n' +
           bytes(globalSignature, sizeof globalSignature).toBase64() + '\n';
}

QByteArray CatalogueSigner::defaultTrustedComment(const QString &fileName)
{
    return "timestamp:" + QByteArray::number(QDateTime::currentSecsSinceEpoch()) +
           "\tfile:" + fileName.toUtf8() + "\thashed";
}

} // namespace hoopupdate
