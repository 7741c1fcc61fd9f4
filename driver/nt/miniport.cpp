// StorPort virtual miniport frame. For now it registers a virtual adapter with no drives; the
// engine is attached by the driver's own work.
#include "driver/nt/storport_virtual.h"

namespace {

struct AdapterExtension {
    ULONG driveCount;
};

ULONG NTAPI HwFindAdapter(PVOID extension, PVOID, PVOID, PVOID, PCHAR, PPORT_CONFIGURATION_INFORMATION,
                          PBOOLEAN again) {
    if (!extension)
        return SP_RETURN_ERROR;
    if (again)
        *again = FALSE;
    return SP_RETURN_FOUND;
}

BOOLEAN NTAPI HwInitialize(PVOID) { return TRUE; }

BOOLEAN NTAPI HwStartIo(PVOID extension, PSCSI_REQUEST_BLOCK srb) {
    srb->SrbStatus = SRB_STATUS_INVALID_REQUEST;
    StorPortNotification(RequestComplete, extension, srb);
    return TRUE;
}

BOOLEAN NTAPI HwResetBus(PVOID, ULONG) { return TRUE; }

SCSI_ADAPTER_CONTROL_STATUS NTAPI HwAdapterControl(PVOID, SCSI_ADAPTER_CONTROL_TYPE, PVOID) {
    return ScsiAdapterControlSuccess;
}

} // namespace

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath) {
    VIRTUAL_HW_INITIALIZATION_DATA init;
    RtlZeroMemory(&init, sizeof(init));
    init.HwInitializationDataSize = sizeof(init);
    init.AdapterInterfaceType = Internal;
    init.HwInitialize = HwInitialize;
    init.HwStartIo = HwStartIo;
    init.HwFindAdapter = HwFindAdapter;
    init.HwResetBus = HwResetBus;
    init.HwAdapterControl = HwAdapterControl;
    init.DeviceExtensionSize = sizeof(AdapterExtension);
    init.TaggedQueuing = TRUE;
    init.AutoRequestSense = TRUE;
    init.MultipleRequestPerLu = TRUE;
    init.ReceiveEvent = TRUE;
    return NTSTATUS(StorPortInitialize(driverObject, registryPath,
                                       reinterpret_cast<PHW_INITIALIZATION_DATA>(&init), nullptr));
}
