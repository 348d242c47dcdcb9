// Owner of one kernel object handle: an event, a file, a pipe end, a process or a thread.
// Device handles of the device seam have their own owners (link/DeviceHandles.h), because
// they go back to the table that produced them.
#pragma once

#include "framework/UniqueHandle.h"
