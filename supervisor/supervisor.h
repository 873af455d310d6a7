// Boot-health checks and the recovery request, exported by bootguard.
#pragma once

#include "export.h"

// 1 when "/customer/debug" exists: the supervisor then stays out of the way.
BOOTGUARD_EXPORT int DebugMode(void);
// 1 when the camera application is installed ("/customer/ipcamera").
BOOTGUARD_EXPORT int IpcameraExist(void);
// 1 when the camera application has started ("/tmp/ipcamera").
BOOTGUARD_EXPORT int IpcameraRun(void);
// Sets the boot loader's recovery flag and restarts the device.  Returns 0
// only if the restart request itself returns.
BOOTGUARD_EXPORT int StartRecovery(void);
