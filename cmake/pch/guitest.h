// GoogleTest besides (see gui.h).
#pragma once

#include "gui.h"

#include <gtest/gtest.h>
