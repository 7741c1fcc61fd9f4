// StorPort virtual miniport frame. For now it registers a virtual adapter with no drives; the
// engine is attached by the driver's own work.
#include "driver/nt/nt_api.h"

namespace {

struct AdapterExtension {
    ULONG driveCount;
};

ULONG NTAPI HwFindAdapter(void* extension, void*, void*, void*, char*, PORT_CONFIGURATION_INFORMATION*,
                          BOOLEAN* again) {
    if (!extension)
        return SP_RETURN_ERROR;
    if (again)
        *again = 0;
    return SP_RETURN_FOUND;
}

BOOLEAN NTAPI HwInitialize(void*) { return 1; }

BOOLEAN NTAPI HwStartIo(void* extension, SCSI_REQUEST_BLOCK* srb) {
    srb->SrbStatus = SRB_STATUS_INVALID_REQUEST;
    StorPortNotification(RequestComplete, extension, srb);
    return 1;
}

BOOLEAN NTAPI HwResetBus(void*, ULONG) { return 1; }

SCSI_ADAPTER_CONTROL_STATUS NTAPI HwAdapterControl(void*, SCSI_ADAPTER_CONTROL_TYPE, void*) {
    return ScsiAdapterControlSuccess;
}

} // namespace

extern "C" NTSTATUS NTAPI DriverEntry(DRIVER_OBJECT* driverObject, UNICODE_STRING* registryPath) {
    VIRTUAL_HW_INITIALIZATION_DATA init;
    __builtin_memset(&init, 0, sizeof(init));
    init.HwInitializationDataSize = sizeof(init);
    init.AdapterInterfaceType = Internal;
    init.HwInitialize = HwInitialize;
    init.HwStartIo = HwStartIo;
    init.HwFindAdapter = HwFindAdapter;
    init.HwResetBus = HwResetBus;
    init.HwAdapterControl = HwAdapterControl;
    init.DeviceExtensionSize = sizeof(AdapterExtension);
    init.TaggedQueuing = 1;
    init.AutoRequestSense = 1;
    init.MultipleRequestPerLu = 1;
    init.ReceiveEvent = 1;
    return NTSTATUS(StorPortInitialize(driverObject, registryPath, &init, nullptr));
}
