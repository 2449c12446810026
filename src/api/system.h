// What a front end needs of the operating system for its own input and output, through the
// platform layer: standard streams and terminals, stop signals, cores, files and folders.
#pragma once

#include "platform/file.h"
#include "platform/folder.h"
#include "platform/interrupt.h"
#include "platform/process.h"
