// A miniport that breaks the kernel's rules on purpose, one rule per SCSI opcode, so the tests
// can show that the model catches each kind of fault in a loaded image. Built like
// vostrale.sys (native image, the same imports) and never shipped.
#include "driver/nt/nt_api.h"

using namespace vostrale::nt;

extern "C" void* memset(void* target, int value, size_t length) {
    volatile uint8_t* t = static_cast<uint8_t*>(target);
    for (size_t i = 0; i < length; ++i)
        t[i] = uint8_t(value);
    return target;
}

namespace {

constexpr ULONG kTag = 0x216B7242; // "Brk!"

struct Extension {
    EX_RUNDOWN_REF rundown;
    KEVENT event;
};

void Finish(void* extension, SCSI_REQUEST_BLOCK* srb) {
    srb->SrbStatus = 0x01;
    srb->DataTransferLength = 0;
    StorPortNotification(RequestComplete, extension, srb);
}

BOOLEAN StartIo(void* extension, SCSI_REQUEST_BLOCK* srb) {
    Extension* e = static_cast<Extension*>(extension);
    switch (srb->Cdb[0]) {
    case 0x01: // paged pool at DISPATCH_LEVEL
        ExFreePoolWithTag(ExAllocatePoolWithTag(PagedPool, 64, kTag), kTag);
        Finish(extension, srb);
        break;
    case 0x02: // the same request completed twice
        Finish(extension, srb);
        StorPortNotification(RequestComplete, extension, srb);
        break;
    case 0x03: // an unbounded wait at DISPATCH_LEVEL
        KeSetEvent(&e->event, 0, 0);
        KeWaitForSingleObject(&e->event, Executive, KernelMode, 0, nullptr);
        Finish(extension, srb);
        break;
    case 0x04: // rundown protection released without being acquired
        ExReleaseRundownProtection(&e->rundown);
        Finish(extension, srb);
        break;
    case 0x05: // a block that is never freed
        ExAllocatePoolWithTag(NonPagedPoolNx, 32, kTag);
        Finish(extension, srb);
        break;
    case 0x06: { // a block freed twice
        void* block = ExAllocatePoolWithTag(NonPagedPoolNx, 32, kTag);
        ExFreePoolWithTag(block, kTag);
        ExFreePoolWithTag(block, kTag);
        Finish(extension, srb);
        break;
    }
    default:
        Finish(extension, srb);
        break;
    }
    return 1;
}

ULONG FindAdapter(void* extension, void*, void*, void*, char*,
                  PORT_CONFIGURATION_INFORMATION* config, BOOLEAN* again) {
    Extension* e = static_cast<Extension*>(extension);
    *again = 0;
    ExInitializeRundownProtection(&e->rundown);
    KeInitializeEvent(&e->event, SynchronizationEvent, 0);
    config->MaximumTransferLength = 0x10000;
    config->NumberOfPhysicalBreaks = 16;
    config->MaximumNumberOfTargets = 1;
    config->MaximumNumberOfLogicalUnits = 1;
    config->SynchronizationModel = StorSynchronizeFullDuplex;
    config->VirtualDevice = 1;
    return SP_RETURN_FOUND;
}

BOOLEAN Initialize(void*) {
    return 1;
}

BOOLEAN ResetBus(void*, ULONG) {
    return 1;
}

SCSI_ADAPTER_CONTROL_STATUS AdapterControl(void*, SCSI_ADAPTER_CONTROL_TYPE type, void* p) {
    if (type == ScsiQuerySupportedControlTypes) {
        auto* list = static_cast<SCSI_SUPPORTED_CONTROL_TYPE_LIST*>(p);
        for (ULONG i = 0; i < list->MaxControlType; ++i)
            list->SupportedTypeList[i] = 1;
    }
    return ScsiAdapterControlSuccess;
}

void FreeResources(void*) {}

} // namespace

// An absolute address, so the image carries base relocations like every kernel image.
void* volatile g_brokenAnchor = reinterpret_cast<void*>(&StartIo);

extern "C" NTSTATUS DriverEntry(DRIVER_OBJECT* driver, UNICODE_STRING* path) {
    VIRTUAL_HW_INITIALIZATION_DATA init;
    memset(&init, 0, sizeof(init));
    init.HwInitializationDataSize = sizeof(init);
    init.HwInitialize = Initialize;
    init.HwStartIo = StartIo;
    init.HwFindAdapter = FindAdapter;
    init.HwResetBus = ResetBus;
    init.HwAdapterControl = AdapterControl;
    init.HwFreeAdapterResources = FreeResources;
    init.DeviceExtensionSize = sizeof(Extension);
    init.SrbExtensionSize = 16;
    return NTSTATUS(StorPortInitialize(driver, path, &init, nullptr));
}
