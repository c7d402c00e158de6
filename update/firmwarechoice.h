#pragma once

#include "update/firmwarefile.h"

#include <QString>

#include <optional>
#include <variant>

// What an update installs: an entry of the firmware list, known by its
// firmware name, or a checked file from disk. One value, so that the name
// shown and the image flashed can never disagree.
class FirmwareChoice
{
public:
    FirmwareChoice() = default; // nothing chosen yet
    static FirmwareChoice entry(const QString &name) { return FirmwareChoice(name); }
    static FirmwareChoice file(FirmwareFile file) { return FirmwareChoice(std::move(file)); }

    // The firmware name, as the table shows it and the success line names it;
    // nothing when nothing is chosen.
    std::optional<QString> name() const
    {
        if (const QString *entry = std::get_if<QString>(&m_value))
            return *entry;
        if (const FirmwareFile *chosen = file())
            return chosen->name;
        return std::nullopt;
    }
    // The file when the choice is one; null otherwise.
    const FirmwareFile *file() const { return std::get_if<FirmwareFile>(&m_value); }

private:
    template <typename Value> explicit FirmwareChoice(Value value) : m_value(std::move(value)) {}

    std::variant<std::monostate, QString, FirmwareFile> m_value;
};
