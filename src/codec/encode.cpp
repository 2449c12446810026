// Placeholder until the encoders land.
#include "codec/encode.h"
