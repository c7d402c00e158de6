#pragma once

#include <QString>
#include <QVariant>

// Follows a dot-separated path of keys ("root.Hoop.FIRMWARE") through nested
// QVariantMaps and returns the value at its end. A missing key, an empty path
// segment, or a step into anything that is not a map (a list included) gives
// an invalid QVariant: lists are never searched, so a path through several
// same-named elements finds nothing rather than guessing one of them.
QVariant valueForKeyPath(const QVariant &tree, const QString &path);
