#include "app/FocusRingStyle.h"

#include <QStyleOptionFocusRect>

void FocusRingStyle::drawControl(ControlElement element, const QStyleOption* option,
                                 QPainter* painter, const QWidget* widget) const {
    QProxyStyle::drawControl(element, option, painter, widget);
    if (element != CE_PushButton || !option->state.testFlag(State_HasFocus)) {
        return;
    }
    QStyleOptionFocusRect focus;
    focus.QStyleOption::operator=(*option);
    focus.rect = subElementRect(SE_PushButtonFocusRect, option, widget);
    focus.backgroundColor = option->palette.button().color();
    drawPrimitive(PE_FrameFocusRect, &focus, painter, widget);
}
