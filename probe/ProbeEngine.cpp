#include "probe/ProbeEngine.h"
