// Which files a mount may read: the rule the NT services and the host services both apply, so
// the engine tests check the policy the driver keeps.
#pragma once

#include "common/kstd.h"

namespace vostrale {

// Volume device types as FileFsDeviceInformation reports them.
constexpr uint32_t kVolumeDisk = 0x07;  // local disks, and network shares (remote disk)
constexpr uint32_t kVolumeCdRom = 0x02; // CD and DVD file systems

struct FileFacts {
    uint32_t volumeType;  // the device type of the volume the file lives on
    bool synchronous;     // opened for synchronous I/O (reads return when done)
    bool directory;
    bool onOwnDrive;      // the volume sits on one of this driver's own drives
};

// A disk or an optical disc, read synchronously, a file and not a folder, and never one of
// our own drives (reading it would wait on the worker that is reading it). Pipes, consoles,
// devices and the like can block a reader for ever and are refused.
inline bool AcceptImageFile(const FileFacts& f) {
    bool medium = f.volumeType == kVolumeDisk || f.volumeType == kVolumeCdRom;
    return medium && f.synchronous && !f.directory && !f.onOwnDrive;
}

} // namespace vostrale
