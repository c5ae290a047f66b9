// The thin layer over the operating system. Nothing above it calls the
// system directly; each service here is what the program needs of it.
#pragma once

#include "platform/clock.h"
#include "platform/console.h"
#include "platform/control_events.h"
#include "platform/cpus.h"
#include "platform/edac.h"
#include "platform/faults.h"
#include "platform/files.h"
#include "platform/memory.h"
#include "platform/system_info.h"
#include "platform/threads.h"
