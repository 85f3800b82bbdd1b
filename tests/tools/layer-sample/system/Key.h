#pragma once
// A sample tree for the layer check: every include here breaks the order.
#include "logs/Backup.h"
