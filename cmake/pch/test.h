// GoogleTest besides (see core.h).
#pragma once

#include "core.h"

#include <gtest/gtest.h>
