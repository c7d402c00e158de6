#include "catalogue/cataloguefetch.h"

#include "catalogue/updatecheck.h"
#include "catalogue/xmlreader.h"

// Placeholder until signatures are verified: the list as it is fetched.
CatalogueFetch fetchCatalogue(const QString &serverBase, const CatalogueTrust &)
{
    CatalogueFetch fetch;
    fetch.firmware = XMLReader::getFirmwareList(catalogueUrl(serverBase));
    return fetch;
}

QStringList catalogueKeysFromSetting(const QString &setting)
{
    QStringList keys;
    for (const QString &key : setting.split(QLatin1Char(';')))
        if (!key.trimmed().isEmpty())
            keys << key.trimmed();
    return keys;
}
