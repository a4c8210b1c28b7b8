#pragma once

#include <QString>
#include <QtGlobal>

#include <optional>

// What kind of probe a USB product id of the probe vendor stands for: its generation and
// what it runs. The one place that maps product ids to generations: the main window picks
// its page by it, the engine its generation, the command line its descriptions.
struct ProbeKind {
    std::optional<int> generation;  // 2 or 3; nothing for a product id we do not know
    QString mode;                   // "application", "bootloader", "loader" or "unknown"

    static ProbeKind of(quint16 productId);
};
