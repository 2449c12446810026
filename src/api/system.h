// What a front end needs of the operating system for its own input and output, through the
// platform layer: standard streams and terminals, stop signals, cores, files and folders, the
// user and the system's log.
#pragma once

#include "platform/file.h"
#include "platform/folder.h"
#include "platform/interrupt.h"
#include "platform/process.h"
#include "platform/system_log.h"
