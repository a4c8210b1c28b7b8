#pragma once

#include <functional>

class KVFirmwareWidget;
class QWidget;

// How the main window makes its firmware pages: one per probe generation, each taking the
// page stack as parent. A factory may return null for a generation it has no page for.
struct FirmwarePages {
    using Factory = std::function<KVFirmwareWidget*(QWidget* parent)>;
    Factory generation2;
    Factory generation3;

    // The real pages.
    static FirmwarePages standard();
};
