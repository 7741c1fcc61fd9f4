#include "tests/ntsim/port.h"

#include "tests/ntsim/host.h"
#include "tests/ntsim/loader.h"
#include "tests/ntsim/model_internal.h"

#include <algorithm>

#include <chrono>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <set>

namespace ntsim {

struct PendingRequest {
    host::Guarded block;
    nt::SCSI_REQUEST_BLOCK* srb = nullptr;
    uint32_t transferLength = 0;
    uint8_t* data = nullptr;
    uint8_t* sense = nullptr;
    bool done = false;
    ScsiResult result;
    // Kept to resubmit after SRB_STATUS_BUSY.
    uint8_t target = 0;
    uint8_t function = 0;
    std::vector<uint8_t> cdb;
};

namespace {

using nt::NTSTATUS;
using nt::ULONG;

constexpr ULONG kStorSuccess = 0;
constexpr ULONG kStorNotImplemented = 0xC1000002;
constexpr ULONG kStorNoResources = 0xC1000003;
constexpr NTSTATUS kInvalidDeviceRequest = NTSTATUS(0xC0000010);
constexpr size_t kSenseRoom = 32;

LoadedImage g_image;
Object* g_driver = nullptr;
Device* g_adapterDevice = nullptr;
Device* g_physicalDevice = nullptr;
Device* g_lowerDevice = nullptr;
nt::VIRTUAL_HW_INITIALIZATION_DATA g_init{};
bool g_registered = false;
bool g_started = false;
uint8_t* g_extension = nullptr;
nt::PORT_CONFIGURATION_INFORMATION g_config{};
std::mutex g_startIo; // StorPort calls HwStartIo under its StartIo lock
std::map<nt::SCSI_REQUEST_BLOCK*, PendingRequest*> g_outstanding;
std::vector<host::Guarded> g_quarantine; // completed request blocks, inaccessible
uint32_t g_failSystemAddress = 0;
uint32_t g_busChanges = 0;
wchar_t g_registryPathText[] =
    L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\vostrale_storport";
nt::UNICODE_STRING g_registryPath;

struct IrpRecord {
    Process* process;
    int completions = 0;
};
std::map<nt::IRP*, IrpRecord> g_irps;

nt::DRIVER_OBJECT* Driver() {
    return reinterpret_cast<nt::DRIVER_OBJECT*>(g_driver->body);
}

bool InQuarantine(uintptr_t address) {
    if (InFreedIrp(address))
        return true;
    for (const host::Guarded& g : g_quarantine) {
        if (address >= uintptr_t(g.base) && address < uintptr_t(g.base) + g.size)
            return true;
    }
    return false;
}

void ReportQuarantine(uintptr_t) {
    Violation("StorPortNotification",
              "a request block was touched after its completion, or an IRP after its release");
}

// ---- The port's routines bound into the driver ---------------------------------------------

ULONG M_StorPortInitialize(void* driverObject, void* registryPath, void* initData, void*) {
    const char* r = "StorPortInitialize";
    CheckIrql(r, kPassiveLevel);
    if (driverObject != Driver() || registryPath != &g_registryPath)
        Violation(r, "not the driver object and registry path DriverEntry received");
    auto* init = static_cast<nt::VIRTUAL_HW_INITIALIZATION_DATA*>(initData);
    if (init->HwInitializationDataSize != sizeof(nt::VIRTUAL_HW_INITIALIZATION_DATA)) {
        Violation(r, "not the virtual miniport registration (size " +
                         std::to_string(init->HwInitializationDataSize) + ")");
        return ULONG(0xC0000059); // STATUS_REVISION_MISMATCH
    }
    if (!init->HwFindAdapter || !init->HwInitialize || !init->HwStartIo || !init->HwResetBus ||
        !init->HwFreeAdapterResources || !init->HwAdapterControl)
        Violation(r, "a required callback is missing");
    if (init->DeviceExtensionSize == 0 || init->SrbExtensionSize == 0)
        Violation(r, "no device or SRB extension");
    g_init = *init;
    g_registered = true;
    return 0;
}

NTSTATUS CompleteHere(nt::IRP* irp, NTSTATUS status);

// The port's own device-control routine (what the takeover passes requests on to).
NTSTATUS PortDeviceControl(nt::DEVICE_OBJECT*, nt::IRP* irp) {
    {
        std::lock_guard<std::mutex> lock(g_lock);
        ++g_portDispatchCalls;
    }
    return CompleteHere(irp, kInvalidDeviceRequest);
}

void M_IofCompleteRequest(nt::IRP* irp, char) {
    const char* r = "IofCompleteRequest";
    CheckIrql(r, kDispatchLevel);
    if (ResumeFileIrp(irp))
        return; // a read IRP of the driver's own, given back to the I/O manager
    std::lock_guard<std::mutex> lock(g_lock);
    auto it = g_irps.find(irp);
    if (it == g_irps.end()) {
        Violation(r, "completes an IRP the port did not send");
        return;
    }
    if (++it->second.completions > 1)
        Violation(r, "completes an IRP a second time");
    ++g_completedIrps;
}

NTSTATUS CompleteHere(nt::IRP* irp, NTSTATUS status) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    M_IofCompleteRequest(irp, 0);
    return status;
}

void* M_IoGetRequestorProcess(nt::IRP* irp) {
    CheckIrql("IoGetRequestorProcess", kDispatchLevel);
    std::lock_guard<std::mutex> lock(g_lock);
    auto it = g_irps.find(irp);
    if (it == g_irps.end()) {
        Violation("IoGetRequestorProcess", "not an IRP the port sent");
        return nullptr;
    }
    return it->second.process;
}

void Complete(const char* r, void* extension, nt::SCSI_REQUEST_BLOCK* srb) {
    if (extension != g_extension)
        Violation(r, "not the adapter's device extension");
    PendingRequest* p = nullptr;
    {
        std::lock_guard<std::mutex> lock(g_lock);
        auto it = g_outstanding.find(srb);
        if (it == g_outstanding.end()) {
            Violation(r, "completes a request that is not outstanding (completed twice?)");
            return;
        }
        p = it->second;
        g_outstanding.erase(it);
    }
    if (srb->SrbStatus == 0)
        Violation(r, "completed with SRB_STATUS_PENDING");
    if (srb->DataTransferLength > p->transferLength)
        Violation(r, "the transfer length grew past the buffer");
    ScsiResult& out = p->result;
    out.srbStatus = srb->SrbStatus;
    out.scsiStatus = srb->ScsiStatus;
    uint32_t bytes = std::min(srb->DataTransferLength, p->transferLength);
    out.data.assign(p->data, p->data + bytes);
    if (srb->SrbStatus & nt::SRB_STATUS_AUTOSENSE_VALID)
        out.sense.assign(p->sense, p->sense + std::min<size_t>(srb->SenseInfoBufferLength,
                                                              kSenseRoom));
    else
        out.sense.clear();
    // From here on the block belongs to the port again: any access by the driver faults.
    host::Poison(p->block);
    std::lock_guard<std::mutex> lock(g_lock);
    g_quarantine.push_back(p->block);
    p->done = true;
    g_changed.notify_all();
}

void M_StorPortNotification(nt::SCSI_NOTIFICATION_TYPE type, void* extension, ...) {
    const char* r = "StorPortNotification";
    CheckIrql(r, kDispatchLevel);
    va_list args;
    va_start(args, extension);
    switch (type) {
    case nt::RequestComplete:
        Complete(r, extension, va_arg(args, nt::SCSI_REQUEST_BLOCK*));
        break;
    case nt::BusChangeDetected: {
        (void)va_arg(args, int);
        std::lock_guard<std::mutex> lock(g_lock);
        ++g_busChanges;
        break;
    }
    default:
        Violation(r, "notification type " + std::to_string(int(type)) + " not modelled");
        break;
    }
    va_end(args);
}

ULONG M_StorPortExtendedFunction(ULONG function, void* extension, ...) {
    const char* r = "StorPortExtendedFunction";
    CheckIrql(r, kDispatchLevel);
    if (extension != g_extension)
        Violation(r, "not the adapter's device extension");
    va_list args;
    va_start(args, extension);
    ULONG status = kStorNotImplemented;
    switch (function) {
    case nt::ExtFunctionGetSystemAddress: {
        auto* srb = va_arg(args, nt::SCSI_REQUEST_BLOCK*);
        void** address = va_arg(args, void**);
        std::lock_guard<std::mutex> lock(g_lock);
        if (!g_outstanding.count(srb)) {
            Violation(r, "system address of a request that is not outstanding");
        } else if (g_failSystemAddress) {
            --g_failSystemAddress;
            *address = nullptr;
            status = kStorNoResources;
        } else {
            *address = srb->DataBuffer;
            status = kStorSuccess;
        }
        break;
    }
    case nt::ExtFunctionGetDeviceObjects: {
        CheckIrql(r, kPassiveLevel);
        *va_arg(args, void**) = g_adapterDevice;
        *va_arg(args, void**) = g_physicalDevice;
        *va_arg(args, void**) = g_lowerDevice;
        status = kStorSuccess;
        break;
    }
    default:
        Violation(r, "function " + std::to_string(function) + " not modelled");
        break;
    }
    va_end(args);
    return status;
}

} // namespace

const Export g_portExports[] = {
    {"storport.sys", "StorPortInitialize", reinterpret_cast<void*>(M_StorPortInitialize)},
    {"storport.sys", "StorPortNotification", reinterpret_cast<void*>(M_StorPortNotification)},
    {"storport.sys", "StorPortExtendedFunction",
     reinterpret_cast<void*>(M_StorPortExtendedFunction)},
    {"ntoskrnl.exe", "IofCompleteRequest", reinterpret_cast<void*>(M_IofCompleteRequest)},
    {"ntoskrnl.exe", "IoGetRequestorProcess", reinterpret_cast<void*>(M_IoGetRequestorProcess)},
};
const size_t g_portExportCount = sizeof(g_portExports) / sizeof(g_portExports[0]);

namespace port {

bool Load(const std::string& path, std::string* error) {
    if (!MapKernelImage(path, ResolveImport, &g_image, error))
        return false;
    TrapIrqlAccess(g_image.codeBegin, g_image.codeEnd);
    host::SetPoisonHook(InQuarantine, ReportQuarantine);
    if (!g_driver) {
        g_driver = new Object(Type::Driver);
        g_driver->permanent = true;
        g_adapterDevice = NewDevice(0x04); // FILE_DEVICE_CONTROLLER
        g_physicalDevice = NewDevice(0x04);
        g_lowerDevice = NewDevice(0x04);
    }
    std::memset(g_driver->body, 0, sizeof(g_driver->body));
    SetOwnDriver(g_driver);
    void* owner = g_driver; // the adapter's device is the driver's own, as its units are
    std::memcpy(g_adapterDevice->body + 8, &owner, sizeof(owner));
    nt::DRIVER_OBJECT* d = Driver();
    d->Type = 4;
    d->Size = sizeof(nt::DRIVER_OBJECT);
    d->DriverStart = g_image.base;
    d->DriverSize = ULONG(g_image.size);
    // What StorPortInitialize leaves behind in the real system: the port's routines in every
    // slot. The model sets them up front; the driver's takeover replaces one of them.
    for (auto& slot : d->MajorFunction)
        slot = PortDeviceControl;
    g_registryPath.Buffer = g_registryPathText;
    g_registryPath.Length = sizeof(g_registryPathText) - sizeof(wchar_t);
    g_registryPath.MaximumLength = sizeof(g_registryPathText);
    CreateRegistryKey(kServiceKey); // exists once the service is installed
    g_registered = false;
    using Entry = NTSTATUS (*)(nt::DRIVER_OBJECT*, nt::UNICODE_STRING*);
    NTSTATUS status;
    {
        ProcessScope system(SystemProcess());
        IrqlScope passive(kPassiveLevel);
        status = reinterpret_cast<Entry>(g_image.entry)(d, &g_registryPath);
    }
    if (status != 0 || !g_registered) {
        *error = "DriverEntry failed with status " + std::to_string(status);
        return false;
    }
    return true;
}

bool Loaded() {
    return g_image.base != nullptr;
}

bool StartAdapter(std::string* error) {
    ProcessScope system(SystemProcess());
    IrqlScope passive(kPassiveLevel);
    if (g_extension)
        ForgetObjectsIn(g_extension, g_init.DeviceExtensionSize);
    std::free(g_extension);
    g_extension = static_cast<uint8_t*>(std::calloc(1, g_init.DeviceExtensionSize));
    std::memset(&g_config, 0, sizeof(g_config));
    g_config.Length = sizeof(g_config);
    g_config.AdapterInterfaceType = nt::Internal;
    g_config.MaximumTransferLength = 0xFFFFFFFF;
    nt::BOOLEAN again = 1;
    ULONG found = g_init.HwFindAdapter(g_extension, nullptr, nullptr, g_lowerDevice, nullptr,
                                       &g_config, &again);
    if (found != nt::SP_RETURN_FOUND) {
        *error = "HwFindAdapter returned " + std::to_string(found);
        return false;
    }
    if (again)
        Violation("HwFindAdapter", "asks to be called again (a virtual adapter is found once)");
    if (!g_config.VirtualDevice || g_config.MaximumNumberOfTargets == 0 ||
        g_config.MaximumNumberOfLogicalUnits == 0 || g_config.MaximumTransferLength == 0 ||
        g_config.MaximumTransferLength == 0xFFFFFFFF)
        Violation("HwFindAdapter", "the port configuration is incomplete");
    {
        IrqlScope device(kDeviceLevel);
        if (!g_init.HwInitialize(g_extension)) {
            *error = "HwInitialize failed";
            return false;
        }
    }
    uint8_t list[sizeof(ULONG) + 8] = {};
    ULONG max = 5;
    std::memcpy(list, &max, sizeof(max));
    g_init.HwAdapterControl(g_extension, nt::ScsiQuerySupportedControlTypes, list);
    if (!list[4])
        Violation("HwAdapterControl", "does not report the query type as supported");
    g_started = true;
    return true;
}

bool AdapterStarted() {
    return g_started;
}

namespace {

void Issue(PendingRequest* p) {
    size_t srbRoom = (sizeof(nt::SCSI_REQUEST_BLOCK) + 15) & ~size_t(15);
    size_t extRoom = (g_init.SrbExtensionSize + 15) & ~size_t(15);
    p->block = host::AllocateGuarded(srbRoom + extRoom + kSenseRoom + p->transferLength);
    uint8_t* base = p->block.base;
    p->srb = reinterpret_cast<nt::SCSI_REQUEST_BLOCK*>(base);
    p->sense = base + srbRoom + extRoom;
    p->data = p->sense + kSenseRoom;
    std::memset(p->data, 0xCC, p->transferLength);
    nt::SCSI_REQUEST_BLOCK* s = p->srb;
    s->Length = sizeof(*s);
    s->Function = p->function;
    s->TargetId = p->target;
    s->CdbLength = uint8_t(p->cdb.size());
    s->SenseInfoBufferLength = 18;
    s->SrbFlags = p->transferLength ? 0x40 : 0; // SRB_FLAGS_DATA_IN
    s->DataTransferLength = p->transferLength;
    s->TimeOutValue = 10;
    s->DataBuffer = p->transferLength ? p->data : nullptr;
    s->SenseInfoBuffer = p->sense;
    s->SrbExtension = base + srbRoom;
    std::memcpy(s->Cdb, p->cdb.data(), std::min<size_t>(p->cdb.size(), sizeof(s->Cdb)));
    p->done = false;
    {
        std::lock_guard<std::mutex> lock(g_lock);
        g_outstanding[s] = p;
    }
    std::lock_guard<std::mutex> startIo(g_startIo);
    IrqlScope dispatch(kDispatchLevel);
    if (!g_init.HwStartIo(g_extension, s))
        Violation("HwStartIo", "returned FALSE");
}

} // namespace

PendingRequest* Submit(uint8_t target, const std::vector<uint8_t>& cdb, uint32_t transferLength,
                       uint8_t function) {
    PendingRequest* p = new PendingRequest;
    p->target = target;
    p->function = function;
    p->cdb = cdb;
    p->transferLength = transferLength;
    Issue(p);
    return p;
}

ScsiResult Wait(PendingRequest* p) {
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(g_lock);
            uint64_t start = host::NowMs();
            while (!p->done) {
                if (host::NowMs() - start > 60000) {
                    lock.unlock();
                    Violation("HwStartIo", "a request has not completed in 60 s");
                    std::fflush(stderr);
                    std::_Exit(4);
                }
                g_changed.wait_for(lock, std::chrono::milliseconds(100));
            }
        }
        if (p->result.srbStatus != kSrbStatusBusy || p->result.retries >= 100)
            break;
        ++p->result.retries; // the port retries a busy request
        uint32_t retries = p->result.retries;
        p->result = ScsiResult();
        p->result.retries = retries;
        Issue(p);
    }
    ScsiResult out = p->result;
    delete p;
    return out;
}

ScsiResult Scsi(uint8_t target, const std::vector<uint8_t>& cdb, uint32_t transferLength,
                uint8_t, uint8_t function, uint8_t) {
    return Wait(Submit(target, cdb, transferLength, function));
}

size_t Outstanding() {
    std::lock_guard<std::mutex> lock(g_lock);
    return g_outstanding.size();
}

ControlResult DeviceControl(Process* sender, uint32_t code, std::vector<uint8_t>* buffer,
                            uint32_t outputLength) {
    ProcessScope scope(sender);
    IrqlScope passive(kPassiveLevel);
    uint32_t inputLength = uint32_t(buffer->size());
    std::vector<uint8_t> system(std::max(inputLength, outputLength) + 16, 0);
    std::memcpy(system.data(), buffer->data(), inputLength);
    alignas(16) uint8_t irpBytes[sizeof(nt::IRP)] = {};
    alignas(16) nt::IO_STACK_LOCATION_LAYOUT stack{};
    nt::IRP* irp = reinterpret_cast<nt::IRP*>(irpBytes);
    irp->Type = 6;
    irp->Size = sizeof(nt::IRP);
    irp->SystemBuffer = system.data();
    irp->RequestorMode = nt::UserMode;
    irp->Thread = CurrentThreadObject();
    irp->CurrentStackLocation = reinterpret_cast<uint8_t*>(&stack);
    stack.head[0] = nt::IRP_MJ_DEVICE_CONTROL;
    stack.outputLength = outputLength;
    stack.inputLength = inputLength;
    stack.code = code;
    stack.device = reinterpret_cast<nt::DEVICE_OBJECT*>(g_adapterDevice);
    {
        std::lock_guard<std::mutex> lock(g_lock);
        g_irps[irp] = IrpRecord{sender};
    }
    nt::DRIVER_DISPATCH dispatch = Driver()->MajorFunction[nt::IRP_MJ_DEVICE_CONTROL];
    NTSTATUS status = dispatch(reinterpret_cast<nt::DEVICE_OBJECT*>(g_adapterDevice), irp);
    int completions;
    {
        std::lock_guard<std::mutex> lock(g_lock);
        completions = g_irps[irp].completions;
        g_irps.erase(irp);
    }
    if (Irql() != kPassiveLevel)
        Violation("IRP_MJ_DEVICE_CONTROL", "returns at a raised IRQL");
    if (completions != 1)
        Violation("IRP_MJ_DEVICE_CONTROL", "the request was completed " +
                                               std::to_string(completions) + " times");
    if (status != irp->IoStatus.Status)
        Violation("IRP_MJ_DEVICE_CONTROL", "returns a status other than the completed one");
    ControlResult result;
    result.status = status;
    if (irp->IoStatus.Information > outputLength)
        Violation("IRP_MJ_DEVICE_CONTROL", "returns more bytes than the output buffer holds");
    result.bytes = uint32_t(std::min<uintptr_t>(irp->IoStatus.Information, outputLength));
    if (status >= 0) {
        buffer->resize(std::max<size_t>(buffer->size(), result.bytes));
        std::memcpy(buffer->data(), system.data(), result.bytes);
    }
    return result;
}

void FailSystemAddress(uint32_t count) {
    std::lock_guard<std::mutex> lock(g_lock);
    g_failSystemAddress = count;
}

bool ResetBus() {
    std::lock_guard<std::mutex> startIo(g_startIo);
    IrqlScope dispatch(kDispatchLevel);
    return g_init.HwResetBus(g_extension, 0) != 0;
}

uint32_t BusChanges() {
    std::lock_guard<std::mutex> lock(g_lock);
    return g_busChanges;
}

void RemoveAdapter() {
    if (!g_started)
        return;
    {
        IrqlScope dispatch(kDispatchLevel);
        g_init.HwAdapterControl(g_extension, nt::ScsiStopAdapter, nullptr);
    }
    {
        ProcessScope system(SystemProcess());
        IrqlScope passive(kPassiveLevel);
        g_init.HwFreeAdapterResources(g_extension);
    }
    g_started = false;
    if (size_t left = Outstanding())
        Violation("HwFreeAdapterResources", std::to_string(left) +
                                                " requests were never completed");
    if (Driver()->MajorFunction[nt::IRP_MJ_DEVICE_CONTROL] != PortDeviceControl)
        Violation("HwFreeAdapterResources", "the device-control takeover is still installed");
}

std::string Unload() {
    RemoveAdapter();
    std::string leaks = LeakReport();
    host::RemoveTrap();
    ForgetObjectsIn(g_image.base, g_image.size);
    if (g_extension)
        ForgetObjectsIn(g_extension, g_init.DeviceExtensionSize);
    UnmapKernelImage(&g_image);
    ReclaimLeftovers();
    {
        std::lock_guard<std::mutex> lock(g_lock);
        for (const host::Guarded& g : g_quarantine)
            host::FreeGuarded(g);
        g_quarantine.clear();
    }
    std::free(g_extension);
    g_extension = nullptr;
    return leaks;
}

} // namespace port
} // namespace ntsim
