#include "app/WaylandActivationToken.h"

#include "xdg-activation-v1-client-protocol.h"

#include <QDeadlineTimer>

#include <wayland-client.h>

#include <poll.h>

#include <cstring>
#include <memory>

namespace {

// The xdg-activation global, once the registry announced it.
struct Globals {
    xdg_activation_v1* activation = nullptr;
};

void onGlobal(void* data, wl_registry* registry, uint32_t name, const char* interface,
              uint32_t /*version*/) {
    auto* globals = static_cast<Globals*>(data);
    if (globals->activation == nullptr &&
        std::strcmp(interface, xdg_activation_v1_interface.name) == 0) {
        globals->activation = static_cast<xdg_activation_v1*>(
            wl_registry_bind(registry, name, &xdg_activation_v1_interface, 1));
    }
}

void onGlobalRemove(void*, wl_registry*, uint32_t) {}

constexpr wl_registry_listener REGISTRY_LISTENER{onGlobal, onGlobalRemove};

void onDone(void* data, xdg_activation_token_v1*, const char* text) {
    *static_cast<std::optional<QString>*>(data) = QString::fromUtf8(text);
}

constexpr xdg_activation_token_v1_listener TOKEN_LISTENER{onDone};

struct DisplayDeleter {
    void operator()(wl_display* display) const { wl_display_disconnect(display); }
};
struct RegistryDeleter {
    void operator()(wl_registry* registry) const { wl_registry_destroy(registry); }
};
struct ActivationDeleter {
    void operator()(xdg_activation_v1* activation) const { xdg_activation_v1_destroy(activation); }
};
struct TokenDeleter {
    void operator()(xdg_activation_token_v1* token) const {
        xdg_activation_token_v1_destroy(token);
    }
};

// Dispatches the display's events until `done` holds or the deadline passed; false on a
// time-out or a broken connection. (wl_display_roundtrip would wait for ever on a
// compositor that does not answer.)
template <typename Done>
bool dispatchUntil(wl_display* display, const QDeadlineTimer& deadline, Done done) {
    while (!done()) {
        while (wl_display_prepare_read(display) != 0) {
            if (wl_display_dispatch_pending(display) < 0) {
                return false;
            }
        }
        if (done()) {
            wl_display_cancel_read(display);
            break;
        }
        wl_display_flush(display);
        const qint64 left = deadline.remainingTime();
        pollfd watched{wl_display_get_fd(display), POLLIN, 0};
        if (left <= 0 || ::poll(&watched, 1, int(left)) <= 0) {
            wl_display_cancel_read(display);
            return false;
        }
        if (wl_display_read_events(display) < 0 || wl_display_dispatch_pending(display) < 0) {
            return false;
        }
    }
    return true;
}

}  // namespace

std::optional<QString> requestWaylandActivationToken(const QString& appId, int timeoutMs) {
    const QByteArray socket = qgetenv("WAYLAND_DISPLAY");
    if (socket.isEmpty()) {
        return std::nullopt;
    }
    const QDeadlineTimer deadline(timeoutMs);
    const std::unique_ptr<wl_display, DisplayDeleter> display(
        wl_display_connect(socket.constData()));
    if (!display) {
        return std::nullopt;
    }
    Globals globals;
    const std::unique_ptr<wl_registry, RegistryDeleter> registry(
        wl_display_get_registry(display.get()));
    wl_registry_add_listener(registry.get(), &REGISTRY_LISTENER, &globals);
    // The registry's globals all come before the answer to a sync request.
    bool synced = false;
    wl_callback* sync = wl_display_sync(display.get());
    static constexpr wl_callback_listener SYNC_LISTENER{
        [](void* data, wl_callback* callback, uint32_t) {
            *static_cast<bool*>(data) = true;
            wl_callback_destroy(callback);
        }};
    wl_callback_add_listener(sync, &SYNC_LISTENER, &synced);
    if (!dispatchUntil(display.get(), deadline, [&] { return synced; })) {
        if (!synced) {
            wl_callback_destroy(sync);
        }
        if (globals.activation != nullptr) {
            xdg_activation_v1_destroy(globals.activation);
        }
        return std::nullopt;
    }
    if (globals.activation == nullptr) {
        return std::nullopt;  // a compositor without xdg-activation
    }
    const std::unique_ptr<xdg_activation_v1, ActivationDeleter> activation(globals.activation);
    const std::unique_ptr<xdg_activation_token_v1, TokenDeleter> request(
        xdg_activation_v1_get_activation_token(activation.get()));
    std::optional<QString> token;
    xdg_activation_token_v1_add_listener(request.get(), &TOKEN_LISTENER, &token);
    if (!appId.isEmpty()) {
        xdg_activation_token_v1_set_app_id(request.get(), appId.toUtf8().constData());
    }
    xdg_activation_token_v1_commit(request.get());
    if (!dispatchUntil(display.get(), deadline, [&] { return token.has_value(); }) ||
        token->isEmpty()) {
        return std::nullopt;
    }
    return token;
}
