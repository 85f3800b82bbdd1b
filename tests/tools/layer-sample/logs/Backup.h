#pragma once
#include "system/Key.h"
