// The NT kernel and StorPort declarations the driver uses, written out here: MinGW-w64's DDK
// headers do not compile as C++ and lack the newer StorPort structures. Layouts follow the
// documented x64 definitions; only the members the driver touches are named, and their
// offsets are pinned below. driver/nt/imports.txt lists every routine imported from here.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "driver/nt/srb.h"

namespace vostrale::nt {

typedef int32_t NTSTATUS;
typedef uint8_t BOOLEAN;
typedef uint32_t ULONG;
typedef int32_t LONG;
typedef uint16_t USHORT;
typedef uint8_t UCHAR;
typedef void* HANDLE;
typedef char KPROCESSOR_MODE;
typedef uint64_t KSPIN_LOCK;

constexpr NTSTATUS STATUS_SUCCESS = 0;
constexpr NTSTATUS STATUS_INVALID_PARAMETER = int32_t(0xC000000D);
constexpr NTSTATUS STATUS_TIMEOUT = 0x102;
constexpr NTSTATUS STATUS_MORE_PROCESSING_REQUIRED = int32_t(0xC0000016);
constexpr KPROCESSOR_MODE KernelMode = 0;
constexpr KPROCESSOR_MODE UserMode = 1;
constexpr ULONG PASSIVE_LEVEL = 0;
constexpr char IO_NO_INCREMENT = 0;

inline bool NtSuccess(NTSTATUS status) {
    return status >= 0;
}

// ---- Basic records -------------------------------------------------------------------------

struct UNICODE_STRING {
    USHORT Length;
    USHORT MaximumLength;
    wchar_t* Buffer;
};
struct ANSI_STRING {
    USHORT Length;
    USHORT MaximumLength;
    char* Buffer;
};
struct LIST_ENTRY {
    LIST_ENTRY* Flink;
    LIST_ENTRY* Blink;
};
struct IO_STATUS_BLOCK {
    union {
        NTSTATUS Status;
        void* Pointer;
    };
    uintptr_t Information;
};
struct OBJECT_ATTRIBUTES {
    ULONG Length;
    HANDLE RootDirectory;
    UNICODE_STRING* ObjectName;
    ULONG Attributes;
    void* SecurityDescriptor;
    void* SecurityQualityOfService;
};
static_assert(sizeof(OBJECT_ATTRIBUTES) == 48 && offsetof(OBJECT_ATTRIBUTES, Attributes) == 24);
constexpr ULONG OBJ_CASE_INSENSITIVE = 0x40;
constexpr ULONG OBJ_KERNEL_HANDLE = 0x200;
constexpr ULONG OBJ_FORCE_ACCESS_CHECK = 0x400;

// Dispatcher objects: opaque storage of the documented sizes.
struct KEVENT {
    uint64_t opaque[3];
};
struct KTIMER {
    uint64_t opaque[8];
};
struct KDPC {
    uint64_t opaque[8];
};
struct EX_RUNDOWN_REF {
    void* opaque;
};
enum EVENT_TYPE { NotificationEvent = 0, SynchronizationEvent = 1 };
enum TIMER_TYPE { NotificationTimer = 0, SynchronizationTimer = 1 };
constexpr int Executive = 0;

// ---- I/O manager objects (only what the driver reads or writes) ----------------------------

struct DRIVER_OBJECT;
struct DEVICE_OBJECT {
    int16_t Type;
    uint16_t Size;
    int32_t ReferenceCount;
    DRIVER_OBJECT* DriverObject;
    uint8_t rest[0x48 - 0x10];
    ULONG DeviceType;
};
static_assert(offsetof(DEVICE_OBJECT, DriverObject) == 0x08);
static_assert(offsetof(DEVICE_OBJECT, DeviceType) == 0x48);
constexpr ULONG FILE_DEVICE_DISK_FILE_SYSTEM = 0x08;
constexpr ULONG FILE_DEVICE_NETWORK_FILE_SYSTEM = 0x14;

struct FILE_OBJECT {
    int16_t Type;
    int16_t Size;
    DEVICE_OBJECT* DeviceObject; // the volume's device
    uint8_t rest[0x50 - 0x10];
    ULONG Flags;
};
static_assert(offsetof(FILE_OBJECT, DeviceObject) == 0x08);
static_assert(offsetof(FILE_OBJECT, Flags) == 0x50);
constexpr ULONG FO_SYNCHRONOUS_IO = 0x02;

struct IRP;
typedef NTSTATUS (*DRIVER_DISPATCH)(DEVICE_OBJECT* device, IRP* irp);
constexpr uint32_t IRP_MJ_READ = 0x03;
constexpr uint32_t IRP_MJ_DEVICE_CONTROL = 0x0E;
constexpr uint32_t IRP_MJ_MAXIMUM_FUNCTION = 0x1B;

struct DRIVER_OBJECT {
    int16_t Type;
    int16_t Size;
    DEVICE_OBJECT* DeviceObject;
    ULONG Flags;
    void* DriverStart;
    ULONG DriverSize;
    void* DriverSection;
    void* DriverExtension;
    UNICODE_STRING DriverName;
    UNICODE_STRING* HardwareDatabase;
    void* FastIoDispatch;
    void* DriverInit;
    void* DriverStartIo;
    void* DriverUnload;
    DRIVER_DISPATCH MajorFunction[IRP_MJ_MAXIMUM_FUNCTION + 1];
};
static_assert(offsetof(DRIVER_OBJECT, MajorFunction) == 0x70 && sizeof(DRIVER_OBJECT) == 0x150);

struct IO_STACK_LOCATION {
    UCHAR MajorFunction;
    UCHAR MinorFunction;
    UCHAR Flags;
    UCHAR Control;
    ULONG OutputBufferLength; // the device-control view of the parameters
    ULONG InputBufferLength;
    ULONG IoControlCode;
    void* Type3InputBuffer;
    DEVICE_OBJECT* DeviceObject;
    FILE_OBJECT* FileObject;
    void* CompletionRoutine;
    void* Context;
};
// The parameter members are 8-byte slots; the ULONGs above sit in their low halves.
struct IO_STACK_LOCATION_LAYOUT {
    UCHAR head[8];
    uint64_t outputLength, inputLength, code;
    void* type3;
    DEVICE_OBJECT* device;
    FILE_OBJECT* file;
    void* completion;
    void* context;
};
static_assert(sizeof(IO_STACK_LOCATION_LAYOUT) == 72);
// IO_STACK_LOCATION.Control: when the completion routine is called.
constexpr UCHAR SL_INVOKE_ON_CANCEL = 0x20;
constexpr UCHAR SL_INVOKE_ON_SUCCESS = 0x40;
constexpr UCHAR SL_INVOKE_ON_ERROR = 0x80;
typedef NTSTATUS (*IO_COMPLETION_ROUTINE)(DEVICE_OBJECT* device, struct IRP* irp, void* context);

struct IRP {
    int16_t Type;
    uint16_t Size;
    uint16_t AllocationProcessorNumber;
    uint16_t Reserved;
    void* MdlAddress;
    ULONG Flags;
    void* SystemBuffer; // AssociatedIrp
    LIST_ENTRY ThreadListEntry;
    IO_STATUS_BLOCK IoStatus;
    KPROCESSOR_MODE RequestorMode;
    UCHAR PendingReturned, StackCount, CurrentLocation, Cancel, CancelIrql, ApcEnvironment,
        AllocationFlags;
    void* UserIosb;
    void* UserEvent;
    void* Overlay[2];
    void* CancelRoutine;
    void* UserBuffer;
    void* DriverContext[4];
    void* Thread;
    char* AuxiliaryBuffer;
    LIST_ENTRY ListEntry;
    uint8_t* CurrentStackLocation; // an IO_STACK_LOCATION_LAYOUT
    void* OriginalFileObject;
    void* IrpExtension;
};
static_assert(offsetof(IRP, SystemBuffer) == 0x18 && offsetof(IRP, IoStatus) == 0x30);
static_assert(offsetof(IRP, RequestorMode) == 0x40 && offsetof(IRP, CurrentStackLocation) == 0xB8);
static_assert(sizeof(IRP) == 0xD0);
static_assert(offsetof(IRP, StackCount) == 0x42 && offsetof(IRP, Cancel) == 0x44);

// The stack location the next driver down will use (IoGetNextIrpStackLocation).
inline IO_STACK_LOCATION_LAYOUT* NextStackLocation(IRP* irp) {
    return reinterpret_cast<IO_STACK_LOCATION_LAYOUT*>(irp->CurrentStackLocation) - 1;
}

// The device-control parameters of the current stack location.
struct DeviceControlParameters {
    ULONG outputLength;
    ULONG inputLength;
    ULONG code;
};
inline DeviceControlParameters DeviceControlOf(const IRP* irp) {
    const IO_STACK_LOCATION_LAYOUT* s =
        reinterpret_cast<const IO_STACK_LOCATION_LAYOUT*>(irp->CurrentStackLocation);
    return {ULONG(s->outputLength), ULONG(s->inputLength), ULONG(s->code)};
}

// ---- Security records --------------------------------------------------------------------

struct SECURITY_QUALITY_OF_SERVICE {
    ULONG Length;
    ULONG ImpersonationLevel;
    UCHAR ContextTrackingMode;
    BOOLEAN EffectiveOnly;
};
static_assert(sizeof(SECURITY_QUALITY_OF_SERVICE) == 12);
constexpr ULONG SecurityImpersonation = 2;
constexpr UCHAR SECURITY_STATIC_TRACKING = 0;

struct SECURITY_CLIENT_CONTEXT {
    SECURITY_QUALITY_OF_SERVICE SecurityQos;
    void* ClientToken;
    BOOLEAN DirectlyAccessClientToken;
    BOOLEAN DirectAccessEffectiveOnly;
    BOOLEAN ServerIsRemote;
    uint32_t ClientTokenControl[10];
};
static_assert(offsetof(SECURITY_CLIENT_CONTEXT, ClientToken) == 0x10);
static_assert(offsetof(SECURITY_CLIENT_CONTEXT, ClientTokenControl) == 0x1C);
static_assert(sizeof(SECURITY_CLIENT_CONTEXT) == 0x48);
enum TOKEN_TYPE { TokenPrimary = 1, TokenImpersonation = 2 };

struct ACL {
    UCHAR AclRevision;
    UCHAR Sbz1;
    USHORT AclSize;
    USHORT AceCount;
    USHORT Sbz2;
};
constexpr ULONG ACL_REVISION = 2;
constexpr ULONG ACCESS_ALLOWED_ACE_HEADER = 8; // header and mask; the SID follows
constexpr ULONG SECURITY_DESCRIPTOR_REVISION = 1;
constexpr ULONG SECURITY_DESCRIPTOR_SIZE = 40; // absolute form on x64
constexpr ULONG DACL_SECURITY_INFORMATION = 0x4;

// ---- Access rights, file and registry constants -----------------------------------------

constexpr ULONG DELETE = 0x00010000;
constexpr ULONG WRITE_DAC = 0x00040000;
constexpr ULONG SYNCHRONIZE = 0x00100000;
constexpr ULONG GENERIC_READ = 0x80000000;
constexpr ULONG GENERIC_WRITE = 0x40000000;
constexpr ULONG FILE_READ_DATA = 0x0001;
constexpr ULONG SYMBOLIC_LINK_QUERY = 0x0001;
constexpr ULONG THREAD_ALL_ACCESS = 0x001FFFFF;
constexpr ULONG KEY_READ = 0x20019;
constexpr ULONG KEY_WRITE = 0x20006;
constexpr ULONG REG_DWORD = 4;
constexpr int KeyValuePartialInformation = 2;
constexpr ULONG FILE_ATTRIBUTE_NORMAL = 0x80;
constexpr ULONG FILE_SHARE_READ = 0x1;
constexpr ULONG FILE_OPEN = 1;
constexpr ULONG FILE_SYNCHRONOUS_IO_NONALERT = 0x20;
constexpr ULONG FILE_NON_DIRECTORY_FILE = 0x40;
constexpr int FileStandardInformation = 5;
constexpr int FileFsDeviceInformation = 4;

struct OBJECT_NAME_INFORMATION {
    UNICODE_STRING Name; // its characters follow the record
};

struct FILE_FS_DEVICE_INFORMATION {
    ULONG DeviceType;
    ULONG Characteristics;
};

struct KEY_VALUE_PARTIAL_INFORMATION {
    ULONG TitleIndex;
    ULONG Type;
    ULONG DataLength;
    UCHAR Data[4];
};
static_assert(offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data) == 12);

struct FILE_STANDARD_INFORMATION {
    int64_t AllocationSize;
    int64_t EndOfFile;
    ULONG NumberOfLinks;
    BOOLEAN DeletePending;
    BOOLEAN Directory;
};
static_assert(sizeof(FILE_STANDARD_INFORMATION) == 24 &&
              offsetof(FILE_STANDARD_INFORMATION, Directory) == 21);

enum POOL_TYPE { PagedPool = 1, NonPagedPoolNx = 512 };

constexpr LONG LOW_REALTIME_PRIORITY = 16;

// The current IRQL is the task-priority register on x64.
inline ULONG CurrentIrql() {
    uint64_t irql;
    __asm__ volatile("mov %%cr8, %0" : "=r"(irql));
    return ULONG(irql);
}

// ---- StorPort -------------------------------------------------------------------------------

enum INTERFACE_TYPE { Internal = 0 };

enum SCSI_ADAPTER_CONTROL_TYPE {
    ScsiQuerySupportedControlTypes = 0,
    ScsiStopAdapter,
    ScsiRestartAdapter,
    ScsiSetBootConfig,
    ScsiSetRunningConfig,
};
enum SCSI_ADAPTER_CONTROL_STATUS { ScsiAdapterControlSuccess = 0, ScsiAdapterControlUnsuccessful };
struct SCSI_SUPPORTED_CONTROL_TYPE_LIST {
    ULONG MaxControlType;
    BOOLEAN SupportedTypeList[1];
};
enum SCSI_NOTIFICATION_TYPE { RequestComplete = 0, BusChangeDetected = 7 };

// StorPortExtendedFunction codes.
constexpr ULONG ExtFunctionGetSystemAddress = 5;
constexpr ULONG ExtFunctionGetDeviceObjects = 8;
constexpr ULONG STOR_STATUS_SUCCESS = 0;

constexpr ULONG SP_RETURN_NOT_FOUND = 0;
constexpr ULONG SP_RETURN_FOUND = 1;
constexpr ULONG SP_RETURN_ERROR = 2;

typedef BOOLEAN (*HW_INITIALIZE)(void* deviceExtension);
typedef BOOLEAN (*HW_STARTIO)(void* deviceExtension, SCSI_REQUEST_BLOCK* srb);
typedef BOOLEAN (*HW_RESET_BUS)(void* deviceExtension, ULONG pathId);
typedef ULONG (*VIRTUAL_HW_FIND_ADAPTER)(void* deviceExtension, void* hwContext,
                                         void* busInformation, void* lowerDevice,
                                         char* argumentString,
                                         PORT_CONFIGURATION_INFORMATION* configInfo,
                                         BOOLEAN* again);
typedef SCSI_ADAPTER_CONTROL_STATUS (*HW_ADAPTER_CONTROL)(void* deviceExtension,
                                                          SCSI_ADAPTER_CONTROL_TYPE type,
                                                          void* parameters);
typedef void (*HW_FREE_ADAPTER_RESOURCES)(void* deviceExtension);

struct VIRTUAL_HW_INITIALIZATION_DATA {
    ULONG HwInitializationDataSize;
    INTERFACE_TYPE AdapterInterfaceType;
    HW_INITIALIZE HwInitialize;
    HW_STARTIO HwStartIo;
    void* HwInterrupt;
    VIRTUAL_HW_FIND_ADAPTER HwFindAdapter;
    HW_RESET_BUS HwResetBus;
    void* HwDmaStarted;
    void* HwAdapterState;
    ULONG DeviceExtensionSize;
    ULONG SpecificLuExtensionSize;
    ULONG SrbExtensionSize;
    ULONG NumberOfAccessRanges;
    void* Reserved;
    UCHAR MapBuffers;
    BOOLEAN NeedPhysicalAddresses;
    BOOLEAN TaggedQueuing;
    BOOLEAN AutoRequestSense;
    BOOLEAN MultipleRequestPerLu;
    BOOLEAN ReceiveEvent;
    USHORT VendorIdLength;
    void* VendorId;
    USHORT PortVersionFlags;
    USHORT DeviceIdLength;
    void* DeviceId;
    HW_ADAPTER_CONTROL HwAdapterControl;
    void* HwBuildIo;
    HW_FREE_ADAPTER_RESOURCES HwFreeAdapterResources;
    void* HwProcessServiceRequest;
    void* HwCompleteServiceIrp;
    void* HwInitializeTracing;
    void* HwCleanupTracing;
};
static_assert(offsetof(VIRTUAL_HW_INITIALIZATION_DATA, DeviceExtensionSize) == 64);
static_assert(offsetof(VIRTUAL_HW_INITIALIZATION_DATA, HwAdapterControl) == 120);
static_assert(offsetof(VIRTUAL_HW_INITIALIZATION_DATA, HwFreeAdapterResources) == 136);
static_assert(sizeof(VIRTUAL_HW_INITIALIZATION_DATA) == 176);

} // namespace vostrale::nt

namespace vostrale::nt {

// ---- Extended processor state --------------------------------------------------------------

constexpr uint64_t XSTATE_MASK_AVX = 1ull << 2;

struct XSTATE_CONTEXT {
    uint64_t Mask;
    ULONG Length;
    ULONG Reserved1;
    void* Area;
    void* Buffer;
};
struct XSTATE_SAVE {
    XSTATE_SAVE* Prev;
    void* Thread;
    UCHAR Level;
    XSTATE_CONTEXT XStateContext;
};
static_assert(sizeof(XSTATE_SAVE) == 56, "the kernel's x64 layout");

// ---- Imported routines and data -------------------------------------------------------------

extern "C" {
// Object type variables exported by the kernel (their value is the object type).
__declspec(dllimport) extern void* IoFileObjectType;
__declspec(dllimport) extern void* PsThreadType;
// StorPort
__declspec(dllimport) ULONG
    StorPortInitialize(void* driverObject, void* registryPath, void* initData, void* context);
__declspec(dllimport) void StorPortNotification(SCSI_NOTIFICATION_TYPE type, void* extension, ...);
__declspec(dllimport) ULONG StorPortExtendedFunction(ULONG function, void* extension, ...);
// Memory
__declspec(dllimport) void* ExAllocatePoolWithTag(POOL_TYPE type, size_t size, ULONG tag);
__declspec(dllimport) void ExFreePoolWithTag(void* block, ULONG tag);
__declspec(dllimport) void ProbeForRead(const volatile void* address, size_t length,
                                        ULONG alignment);
// Dispatcher objects
__declspec(dllimport) void KeInitializeEvent(KEVENT* event, EVENT_TYPE type, BOOLEAN state);
__declspec(dllimport) LONG KeSetEvent(KEVENT* event, LONG increment, BOOLEAN wait);
__declspec(dllimport) void KeClearEvent(KEVENT* event);
__declspec(dllimport) NTSTATUS KeWaitForSingleObject(void* object, int reason, KPROCESSOR_MODE mode,
                                                     BOOLEAN alertable, int64_t* timeout);
__declspec(dllimport) uint64_t RtlGetEnabledExtendedFeatures(uint64_t mask);
__declspec(dllimport) NTSTATUS KeSaveExtendedProcessorState(uint64_t mask, XSTATE_SAVE* save);
__declspec(dllimport) void KeRestoreExtendedProcessorState(XSTATE_SAVE* save);
__declspec(dllimport) LIST_ENTRY* ExInterlockedInsertTailList(LIST_ENTRY* head, LIST_ENTRY* entry,
                                                              KSPIN_LOCK* lock);
__declspec(dllimport) LIST_ENTRY* ExInterlockedRemoveHeadList(LIST_ENTRY* head, KSPIN_LOCK* lock);
__declspec(dllimport) void KeInitializeTimerEx(KTIMER* timer, TIMER_TYPE type);
__declspec(dllimport) BOOLEAN KeSetTimer(KTIMER* timer, int64_t dueTime, KDPC* dpc);
__declspec(dllimport) BOOLEAN KeCancelTimer(KTIMER* timer);
__declspec(dllimport) BOOLEAN KeReadStateTimer(KTIMER* timer);
__declspec(dllimport) void KeInitializeDpc(KDPC* dpc, void (*routine)(KDPC*, void*, void*, void*),
                                           void* context);
__declspec(dllimport) void KeFlushQueuedDpcs();
__declspec(dllimport) void ExInitializeRundownProtection(EX_RUNDOWN_REF* ref);
__declspec(dllimport) void ExReInitializeRundownProtection(EX_RUNDOWN_REF* ref);
__declspec(dllimport) BOOLEAN ExAcquireRundownProtection(EX_RUNDOWN_REF* ref);
__declspec(dllimport) void ExReleaseRundownProtection(EX_RUNDOWN_REF* ref);
__declspec(dllimport) void ExWaitForRundownProtectionRelease(EX_RUNDOWN_REF* ref);
// Threads and objects
__declspec(dllimport) NTSTATUS
    PsCreateSystemThread(HANDLE* thread, ULONG access, OBJECT_ATTRIBUTES* attributes,
                         HANDLE process, void* clientId, void (*start)(void*), void* context);
__declspec(dllimport) NTSTATUS PsTerminateSystemThread(NTSTATUS status);
__declspec(dllimport) void* PsGetCurrentThread();
__declspec(dllimport) LONG KeSetPriorityThread(void* thread, LONG priority);
__declspec(dllimport) NTSTATUS
    ObReferenceObjectByHandle(HANDLE handle, ULONG access, void* type, KPROCESSOR_MODE mode,
                              void** object, void* information);
__declspec(dllimport) NTSTATUS
    ObOpenObjectByPointer(void* object, ULONG attributes, void* accessState, ULONG access,
                          void* type, KPROCESSOR_MODE mode, HANDLE* handle);
__declspec(dllimport) intptr_t ObfDereferenceObject(void* object);
__declspec(dllimport) NTSTATUS ZwClose(HANDLE handle);
__declspec(dllimport) NTSTATUS ZwWaitForSingleObject(HANDLE handle, BOOLEAN alertable,
                                                     int64_t* timeout);
// I/O
__declspec(dllimport) void IofCompleteRequest(IRP* irp, char boost);
__declspec(dllimport) void* IoGetRequestorProcess(IRP* irp);
__declspec(dllimport) void* IoGetCurrentProcess();
__declspec(dllimport) DEVICE_OBJECT* IoGetDeviceAttachmentBaseRef(DEVICE_OBJECT* device);
__declspec(dllimport) DEVICE_OBJECT* IoGetRelatedDeviceObject(FILE_OBJECT* file);
__declspec(dllimport) IRP* IoBuildSynchronousFsdRequest(ULONG major, DEVICE_OBJECT* device,
                                                        void* buffer, ULONG length,
                                                        int64_t* offset, KEVENT* event,
                                                        IO_STATUS_BLOCK* status);
__declspec(dllimport) NTSTATUS IofCallDriver(DEVICE_OBJECT* device, IRP* irp);
__declspec(dllimport) BOOLEAN IoCancelIrp(IRP* irp);
__declspec(dllimport) NTSTATUS IoEnumerateDeviceObjectList(DRIVER_OBJECT* driver,
                                                           DEVICE_OBJECT** list, ULONG listBytes,
                                                           ULONG* count);
__declspec(dllimport) DEVICE_OBJECT* IoGetAttachedDeviceReference(DEVICE_OBJECT* device);
__declspec(dllimport) DEVICE_OBJECT* IoGetLowerDeviceObject(DEVICE_OBJECT* device);
__declspec(dllimport) NTSTATUS ObQueryNameString(void* object, OBJECT_NAME_INFORMATION* name,
                                                 ULONG length, ULONG* returned);
__declspec(dllimport) NTSTATUS ZwOpenSymbolicLinkObject(HANDLE* link, ULONG access,
                                                        OBJECT_ATTRIBUTES* attributes);
__declspec(dllimport) NTSTATUS ZwQuerySymbolicLinkObject(HANDLE link, UNICODE_STRING* target,
                                                         ULONG* returned);
__declspec(dllimport) NTSTATUS
    ZwCreateFile(HANDLE* file, ULONG access, OBJECT_ATTRIBUTES* attributes, IO_STATUS_BLOCK* status,
                 int64_t* allocationSize, ULONG fileAttributes, ULONG share, ULONG disposition,
                 ULONG options, void* ea, ULONG eaLength);
__declspec(dllimport) NTSTATUS
    ZwQueryVolumeInformationFile(HANDLE file, IO_STATUS_BLOCK* status, void* information,
                                 ULONG length, int informationClass);
__declspec(dllimport) NTSTATUS
    ZwQueryInformationFile(HANDLE file, IO_STATUS_BLOCK* status, void* information, ULONG length,
                           int informationClass);
// Security
__declspec(dllimport) NTSTATUS
    SeCreateClientSecurity(void* thread, SECURITY_QUALITY_OF_SERVICE* qos, BOOLEAN remoteSession,
                           SECURITY_CLIENT_CONTEXT* context);
__declspec(dllimport) NTSTATUS
    SeImpersonateClientEx(SECURITY_CLIENT_CONTEXT* context, void* serverThread);
__declspec(dllimport) void PsRevertToSelf();
__declspec(dllimport) TOKEN_TYPE SeTokenType(void* token);
__declspec(dllimport) void PsDereferencePrimaryToken(void* token);
__declspec(dllimport) void PsDereferenceImpersonationToken(void* token);
__declspec(dllimport) NTSTATUS RtlCreateSecurityDescriptor(void* descriptor, ULONG revision);
__declspec(dllimport) NTSTATUS RtlCreateAcl(ACL* acl, ULONG length, ULONG revision);
__declspec(dllimport) NTSTATUS
    RtlAddAccessAllowedAce(ACL* acl, ULONG revision, ULONG mask, void* sid);
__declspec(dllimport) NTSTATUS
    RtlSetDaclSecurityDescriptor(void* descriptor, BOOLEAN present, ACL* dacl, BOOLEAN defaulted);
__declspec(dllimport) ULONG RtlLengthSid(void* sid);
__declspec(dllimport) NTSTATUS
    ZwSetSecurityObject(HANDLE handle, ULONG information, void* descriptor);
// Registry and strings
__declspec(dllimport) NTSTATUS ZwOpenKey(HANDLE* key, ULONG access, OBJECT_ATTRIBUTES* attributes);
__declspec(dllimport) NTSTATUS
    ZwQueryValueKey(HANDLE key, UNICODE_STRING* name, int informationClass, void* information,
                    ULONG length, ULONG* resultLength);
__declspec(dllimport) NTSTATUS ZwSetValueKey(HANDLE key, UNICODE_STRING* name, ULONG titleIndex,
                                             ULONG type, void* data, ULONG size);
__declspec(dllimport) NTSTATUS
    RtlAnsiStringToUnicodeString(UNICODE_STRING* target, ANSI_STRING* source, BOOLEAN allocate);
} // extern "C"
} // namespace vostrale::nt
