#pragma once
#include "run/Options.h"
