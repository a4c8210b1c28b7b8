#pragma once

#include <QString>

#include <array>
#include <cstddef>
#include <optional>
#include <utility>

// The names of an enumeration's values in serialised form, in one table: each value to
// its name and back.
template <typename Enum, std::size_t N>
struct NameTable {
    std::array<std::pair<Enum, const char*>, N> table;

    // The name of `value`; empty for a value the table lacks.
    QString of(Enum value) const {
        for (const auto& [kind, name] : table) {
            if (kind == value) {
                return QLatin1String(name);
            }
        }
        return QString();
    }
    // The value named `name`, or nothing.
    std::optional<Enum> find(const QString& name) const {
        for (const auto& [kind, text] : table) {
            if (name == QLatin1String(text)) {
                return kind;
            }
        }
        return std::nullopt;
    }
};
