// The library's one error type (see platform/error.h): what every public function throws.
#pragma once

#include "platform/error.h"
