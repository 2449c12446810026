// The packer's commands (build, update, delete, compact, recover), their sources (a folder, or
// entries held in memory) and the events they tell: what a front end needs to write archives.
#pragma once

#include "pack/commands.h"
