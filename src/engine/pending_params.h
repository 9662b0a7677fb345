// Every record the engine needs now lives in ypu/params.h.
#pragma once

#include "ypu/params.h"
