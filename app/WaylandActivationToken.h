#pragma once

#include <QString>

#include <optional>

// Asks the Wayland compositor for an xdg-activation token (xdg-activation-v1), which a
// window must present to be brought to the front from outside. A later kvtool instance
// that its launcher gave no token asks for one itself and hands it to the running
// instance. Uses a connection of its own to WAYLAND_DISPLAY (never a default socket) and
// waits at most `timeoutMs`; nothing when there is no compositor, no xdg-activation, or no
// answer in time.
std::optional<QString> requestWaylandActivationToken(const QString& appId, int timeoutMs);
