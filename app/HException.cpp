#include "app/HException.h"

HException::HException(const std::string& message) : message(message) {}

HException::~HException() = default;
