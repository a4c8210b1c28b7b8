#include "device/HDataLink.h"

HIOInterface::~HIOInterface() = default;

void HDataLink::setTimeout(int milliseconds) { timeoutMs = static_cast<quint32>(milliseconds); }
