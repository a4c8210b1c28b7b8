#pragma once

#include <QProxyStyle>

// The desktop's own style, with a focus ring on push buttons. Some styles (Fusion among
// them) draw a focused button exactly like the default button, so that a user moving with
// Tab cannot tell whether "Install Firmware" has the focus; this style draws the style's
// own focus frame inside a focused button.
class FocusRingStyle : public QProxyStyle {
    Q_OBJECT

public:
    FocusRingStyle() = default;

    void drawControl(ControlElement element, const QStyleOption* option, QPainter* painter,
                     const QWidget* widget = nullptr) const override;
};
