#pragma once

#include "app/HException.h"

// A step of an install that failed after reporting its phase's total on its way out (as
// the generation-3 transfer steps do, so that the window's progress display resets): the
// phase really stopped where it stood before that last report.
class StepFailure : public HException {
public:
    using HException::HException;
};
