#pragma once
#include "steps/Step.h"
