#pragma once

#include "app/HException.h"

#include <string>

// The message of the HException that `action` throws, or a note that none was thrown.
template <typename Action>
std::string thrownMessage(Action&& action) {
    try {
        action();
    } catch (const HException& e) {
        return e.messageText();
    }
    return "(no exception)";
}
