// The StorPort virtual miniport around the drive engine: registration, adapter discovery,
// SCSI requests, and the private control request taken over from the port's device-control
// dispatch.
#include "driver/core/engine.h"
#include "driver/nt/nt_api.h"
#include "driver/nt/nt_services.h"
#include "driver/nt/port_logic.h"

namespace vostrale::nt {
namespace {

struct AdapterExtension {
    Adapter* engine;
};

DRIVER_OBJECT* g_driver;
// The port's own device-control routine, saved when the takeover was installed. Never our
// handler; kept after the takeover is removed, for calls still on their way through.
void* g_savedDispatch;
// The adapter the control handler serves (one at a time), and the guard that lets the adapter
// go only after every control request that found it has left.
AdapterExtension* g_adapter;
EX_RUNDOWN_REF g_adapterRundown;

NTSTATUS ControlHandler(DEVICE_OBJECT* device, IRP* irp);

void** DeviceControlSlot() {
    return reinterpret_cast<void**>(&g_driver->MajorFunction[IRP_MJ_DEVICE_CONTROL]);
}

// ---- Access rules on the adapter's device object -----------------------------------------

// Well-known SIDs in their binary form (revision 1, NT authority 5).
const uint32_t kLocalSystemSid[] = {0x00000101, 0x05000000, 18};
const uint32_t kAdministratorsSid[] = {0x00000201, 0x05000000, 32, 544};
const uint32_t kUsersSid[] = {0x00000201, 0x05000000, 32, 545};
constexpr ULONG kFullAccess = GENERIC_READ | GENERIC_WRITE | DELETE; // 0xC0010000
constexpr ULONG kReadAccess = GENERIC_READ;

// System and administrators may read, write and delete; users may read, which is all the
// control request needs. Any failure leaves the device as it was.
void ApplyAccessRules(void* extension) {
    void* adapterDevice = nullptr;
    void* physicalDevice = nullptr;
    void* lowerDevice = nullptr;
    if (StorPortExtendedFunction(ExtFunctionGetDeviceObjects, extension, &adapterDevice,
                                 &physicalDevice, &lowerDevice) != STOR_STATUS_SUCCESS ||
        !adapterDevice)
        return;
    void* sids[] = {const_cast<uint32_t*>(kLocalSystemSid),
                    const_cast<uint32_t*>(kAdministratorsSid), const_cast<uint32_t*>(kUsersSid)};
    const ULONG masks[] = {kFullAccess, kFullAccess, kReadAccess};
    ULONG aclSize = sizeof(ACL);
    for (void* sid : sids)
        aclSize += ACCESS_ALLOWED_ACE_HEADER + RtlLengthSid(sid);
    uint8_t* block = static_cast<uint8_t*>(
        ps::PoolAlloc(ps::kPoolNonPaged, SECURITY_DESCRIPTOR_SIZE + aclSize, ps::kPoolTag));
    if (!block)
        return;
    void* descriptor = block;
    ACL* acl = reinterpret_cast<ACL*>(block + SECURITY_DESCRIPTOR_SIZE);
    bool ok = NtSuccess(RtlCreateSecurityDescriptor(descriptor, SECURITY_DESCRIPTOR_REVISION)) &&
              NtSuccess(RtlCreateAcl(acl, aclSize, ACL_REVISION));
    for (uint32_t i = 0; ok && i < 3; ++i)
        ok = NtSuccess(RtlAddAccessAllowedAce(acl, ACL_REVISION, masks[i], sids[i]));
    ok = ok && NtSuccess(RtlSetDaclSecurityDescriptor(descriptor, 1, acl, 0));
    HANDLE handle = nullptr;
    if (ok && NtSuccess(ObOpenObjectByPointer(adapterDevice, OBJ_KERNEL_HANDLE, nullptr, WRITE_DAC,
                                              nullptr, KernelMode, &handle))) {
        ZwSetSecurityObject(handle, DACL_SECURITY_INFORMATION, descriptor);
        ZwClose(handle);
    }
    ps::PoolFree(block, ps::kPoolTag);
}

// ---- StorPort callbacks --------------------------------------------------------------------

ULONG HwFindAdapter(void* extension, void*, void*, void*, char*,
                    PORT_CONFIGURATION_INFORMATION* config, BOOLEAN* again) {
    if (again)
        *again = 0;
    if (!extension || !config)
        return SP_RETURN_ERROR;
    AdapterExtension* adapter = static_cast<AdapterExtension*>(extension);
    adapter->engine = nullptr;
    // The control request reaches one adapter; a second one would never be reachable.
    if (__atomic_load_n(&g_adapter, __ATOMIC_ACQUIRE))
        return SP_RETURN_NOT_FOUND;
    ApplyAccessRules(extension);
    FillConfiguration(config);
    adapter->engine = AdapterCreate(extension);
    if (!adapter->engine)
        return SP_RETURN_ERROR;
    __atomic_store_n(&g_adapter, adapter, __ATOMIC_RELEASE);
    return SP_RETURN_FOUND;
}

BOOLEAN HwInitialize(void*) {
    InstallTakeover(DeviceControlSlot(), reinterpret_cast<void*>(&ControlHandler),
                    &g_savedDispatch);
    return 1;
}

void HwFreeAdapterResources(void* extension) {
    AdapterExtension* adapter = static_cast<AdapterExtension*>(extension);
    AdapterExtension* expected = adapter;
    if (!__atomic_compare_exchange_n(&g_adapter, &expected, nullptr, false, __ATOMIC_ACQ_REL,
                                     __ATOMIC_ACQUIRE))
        return; // not the adapter we serve (refused at discovery)
    RemoveTakeover(DeviceControlSlot(), reinterpret_cast<void*>(&ControlHandler),
                   __atomic_load_n(&g_savedDispatch, __ATOMIC_ACQUIRE));
    // Control requests that already hold the adapter finish first.
    ExWaitForRundownProtectionRelease(&g_adapterRundown);
    AdapterDestroy(adapter->engine);
    adapter->engine = nullptr;
    ExReInitializeRundownProtection(&g_adapterRundown);
}

bool LookupSystemAddress(void* port, SCSI_REQUEST_BLOCK* srb, void** address) {
    return StorPortExtendedFunction(ExtFunctionGetSystemAddress, port, srb, address) ==
           STOR_STATUS_SUCCESS;
}

BOOLEAN HwStartIo(void* extension, SCSI_REQUEST_BLOCK* srb) {
    AdapterExtension* adapter = static_cast<AdapterExtension*>(extension);
    if (!PrepareRequest(extension, srb, LookupSystemAddress)) {
        StorPortNotification(RequestComplete, extension, srb);
        return 1;
    }
    RequestSlot* slot = static_cast<RequestSlot*>(srb->SrbExtension);
    if (!adapter->engine) {
        slot->request.srbStatus = SRB_STATUS_ERROR;
        slot->request.transferLength = 0;
        ps::NotifyRequestComplete(extension, &slot->request);
        return 1;
    }
    StartIo(adapter->engine, &slot->request); // completes now or from the drive's worker
    return 1;
}

BOOLEAN HwResetBus(void* extension, ULONG) {
    // Requests not yet started complete with the bus-reset status from their workers (which
    // own them while queued); completing them here as well would complete them twice.
    AdapterExtension* adapter = static_cast<AdapterExtension*>(extension);
    if (adapter->engine)
        ResetBus(adapter->engine);
    return 1;
}

SCSI_ADAPTER_CONTROL_STATUS HwAdapterControl(void*, SCSI_ADAPTER_CONTROL_TYPE type,
                                             void* parameters) {
    if (type == ScsiQuerySupportedControlTypes && parameters) {
        SCSI_SUPPORTED_CONTROL_TYPE_LIST* list =
            static_cast<SCSI_SUPPORTED_CONTROL_TYPE_LIST*>(parameters);
        MarkSupportedControlTypes(list->MaxControlType, list->SupportedTypeList);
    }
    return ScsiAdapterControlSuccess;
}

// ---- The control handler -------------------------------------------------------------------

NTSTATUS CompleteIrp(IRP* irp, NTSTATUS status, uintptr_t information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// Runs the private request when it comes from a user-mode caller, at passive level, in the
// caller's own process (its handles and pointers are only meaningful there) and while the
// adapter exists. Everything else goes to the port's routine.
NTSTATUS ControlHandler(DEVICE_OBJECT* device, IRP* irp) {
    DeviceControlParameters p = DeviceControlOf(irp);
    ControlGate gate;
    gate.code = p.code;
    gate.passive = CurrentIrql() == PASSIVE_LEVEL;
    gate.fromUserMode = irp->RequestorMode == UserMode;
    gate.hasBuffer = irp->SystemBuffer != nullptr;
    gate.inRequestorProcess = IoGetRequestorProcess(irp) == IoGetCurrentProcess();
    bool ours = IsPrivateControlRequest(gate);
    if (ours && ExAcquireRundownProtection(&g_adapterRundown)) {
        AdapterExtension* adapter = __atomic_load_n(&g_adapter, __ATOMIC_ACQUIRE);
        bool done = false;
        uint32_t reply = 0;
        if (adapter && adapter->engine && EnterSenderContext()) {
            done = ControlRequest(adapter->engine, static_cast<uint8_t*>(irp->SystemBuffer),
                                  p.inputLength, p.outputLength, &reply);
            LeaveSenderContext();
        }
        ExReleaseRundownProtection(&g_adapterRundown);
        if (done)
            return CompleteIrp(irp, STATUS_SUCCESS, Min<uint32_t>(reply, p.outputLength));
    }
    DRIVER_DISPATCH saved =
        reinterpret_cast<DRIVER_DISPATCH>(__atomic_load_n(&g_savedDispatch, __ATOMIC_ACQUIRE));
    if (saved)
        return saved(device, irp);
    return CompleteIrp(irp, STATUS_INVALID_PARAMETER, 0);
}

} // namespace

DRIVER_OBJECT* DriverObject() {
    return g_driver;
}

} // namespace vostrale::nt

extern "C" vostrale::nt::NTSTATUS DriverEntry(vostrale::nt::DRIVER_OBJECT* driverObject,
                                              vostrale::nt::UNICODE_STRING* registryPath) {
    using namespace vostrale::nt;
    g_driver = driverObject;
    ExInitializeRundownProtection(&g_adapterRundown);
    CopyRegistryPath(registryPath);
    LoadNumberOfDrives();

    VIRTUAL_HW_INITIALIZATION_DATA init;
    vostrale::ZeroBytes(&init, sizeof(init));
    init.HwInitializationDataSize = sizeof(init);
    init.AdapterInterfaceType = Internal;
    init.HwInitialize = HwInitialize;
    init.HwStartIo = HwStartIo;
    init.HwFindAdapter = HwFindAdapter;
    init.HwResetBus = HwResetBus;
    init.HwAdapterControl = HwAdapterControl;
    init.HwFreeAdapterResources = HwFreeAdapterResources;
    init.DeviceExtensionSize = sizeof(AdapterExtension);
    init.SpecificLuExtensionSize = 0;
    init.SrbExtensionSize = sizeof(RequestSlot);
    init.TaggedQueuing = 1;
    init.AutoRequestSense = 1;
    init.MultipleRequestPerLu = 1;
    init.ReceiveEvent = 1;
    return NTSTATUS(StorPortInitialize(driverObject, registryPath, &init, nullptr));
}
