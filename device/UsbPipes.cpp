#include "device/UsbPipes.h"

UsbPipes::~UsbPipes() = default;
