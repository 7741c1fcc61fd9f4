// The NT kernel and StorPort declarations the driver uses, written out here: MinGW-w64's DDK
// headers do not compile as C++ and lack the virtual-miniport structures. Layouts follow the
// documented x64 definitions and are pinned by size checks.
#pragma once

#include <stddef.h>
#include <stdint.h>

extern "C" {

typedef int32_t NTSTATUS;
typedef uint8_t BOOLEAN;
typedef uint32_t ULONG;
typedef uint16_t USHORT;
typedef uint8_t UCHAR;

#define NTAPI __stdcall

struct DRIVER_OBJECT;
struct PORT_CONFIGURATION_INFORMATION;

struct UNICODE_STRING {
    USHORT Length;
    USHORT MaximumLength;
    wchar_t* Buffer;
};

struct SCSI_REQUEST_BLOCK {
    USHORT Length;
    UCHAR Function;
    UCHAR SrbStatus;
    UCHAR ScsiStatus;
    UCHAR PathId;
    UCHAR TargetId;
    UCHAR Lun;
    UCHAR QueueTag;
    UCHAR QueueAction;
    UCHAR CdbLength;
    UCHAR SenseInfoBufferLength;
    ULONG SrbFlags;
    ULONG DataTransferLength;
    ULONG TimeOutValue;
    void* DataBuffer;
    void* SenseInfoBuffer;
    SCSI_REQUEST_BLOCK* NextSrb;
    void* OriginalRequest;
    void* SrbExtension;
    ULONG InternalStatus;
    ULONG Reserved;
    UCHAR Cdb[16];
};
static_assert(sizeof(SCSI_REQUEST_BLOCK) == 88 && offsetof(SCSI_REQUEST_BLOCK, Cdb) == 72);

enum INTERFACE_TYPE { Internal = 0 };

enum SCSI_ADAPTER_CONTROL_TYPE {
    ScsiQuerySupportedControlTypes = 0,
    ScsiStopAdapter,
    ScsiRestartAdapter,
    ScsiSetBootConfig,
    ScsiSetRunningConfig,
};
enum SCSI_ADAPTER_CONTROL_STATUS { ScsiAdapterControlSuccess = 0, ScsiAdapterControlUnsuccessful };
enum SCSI_NOTIFICATION_TYPE { RequestComplete = 0, NextRequest, NextLuRequest, ResetDetected, BusChangeDetected = 5 };

constexpr ULONG SP_RETURN_NOT_FOUND = 0;
constexpr ULONG SP_RETURN_FOUND = 1;
constexpr ULONG SP_RETURN_ERROR = 2;
constexpr UCHAR SRB_STATUS_SUCCESS = 0x01;
constexpr UCHAR SRB_STATUS_INVALID_REQUEST = 0x06;

typedef BOOLEAN(NTAPI* HW_INITIALIZE)(void* deviceExtension);
typedef BOOLEAN(NTAPI* HW_STARTIO)(void* deviceExtension, SCSI_REQUEST_BLOCK* srb);
typedef BOOLEAN(NTAPI* HW_RESET_BUS)(void* deviceExtension, ULONG pathId);
typedef ULONG(NTAPI* VIRTUAL_HW_FIND_ADAPTER)(void* deviceExtension, void* hwContext, void* busInformation,
                                              void* lowerDevice, char* argumentString,
                                              PORT_CONFIGURATION_INFORMATION* configInfo, BOOLEAN* again);
typedef SCSI_ADAPTER_CONTROL_STATUS(NTAPI* HW_ADAPTER_CONTROL)(void* deviceExtension,
                                                               SCSI_ADAPTER_CONTROL_TYPE type, void* parameters);
typedef void(NTAPI* HW_FREE_ADAPTER_RESOURCES)(void* deviceExtension);

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
static_assert(sizeof(VIRTUAL_HW_INITIALIZATION_DATA) == 176);

__declspec(dllimport) ULONG NTAPI StorPortInitialize(void* argument1, void* argument2, void* hwInitializationData,
                                                     void* hwContext);
__declspec(dllimport) void StorPortNotification(SCSI_NOTIFICATION_TYPE type, void* hwDeviceExtension, ...);

} // extern "C"
