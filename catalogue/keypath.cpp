#include "catalogue/keypath.h"

#include <QVariantMap>

QVariant valueForKeyPath(const QVariant &tree, const QString &path)
{
    QVariant current = tree;
    for (const QStringView key : QStringView(path).split(u'.')) {
        if (key.isEmpty() || current.typeId() != QMetaType::QVariantMap)
            return {};
        const QVariantMap map = current.toMap();
        const auto it = map.constFind(key.toString());
        if (it == map.constEnd())
            return {};
        current = it.value();
    }
    return current;
}
