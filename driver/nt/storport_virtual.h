// StorPort declarations for a virtual miniport that MinGW-w64's DDK headers lack.
#pragma once

#include <ddk/ntddk.h>
#include <ddk/storport.h>

extern "C" {

typedef ULONG(NTAPI* PVIRTUAL_HW_FIND_ADAPTER)(PVOID DeviceExtension, PVOID HwContext, PVOID BusInformation,
                                               PVOID LowerDevice, PCHAR ArgumentString,
                                               PPORT_CONFIGURATION_INFORMATION ConfigInfo, PBOOLEAN Again);

// Layout of the virtual initialization structure as documented for storport.h.
typedef struct _VIRTUAL_HW_INITIALIZATION_DATA {
    ULONG HwInitializationDataSize;
    INTERFACE_TYPE AdapterInterfaceType;
    PHW_INITIALIZE HwInitialize;
    PHW_STARTIO HwStartIo;
    PHW_INTERRUPT HwInterrupt;
    PVIRTUAL_HW_FIND_ADAPTER HwFindAdapter;
    PHW_RESET_BUS HwResetBus;
    PHW_DMA_STARTED HwDmaStarted;
    PHW_ADAPTER_STATE HwAdapterState;
    ULONG DeviceExtensionSize;
    ULONG SpecificLuExtensionSize;
    ULONG SrbExtensionSize;
    ULONG NumberOfAccessRanges;
    PVOID Reserved;
    UCHAR MapBuffers;
    BOOLEAN NeedPhysicalAddresses;
    BOOLEAN TaggedQueuing;
    BOOLEAN AutoRequestSense;
    BOOLEAN MultipleRequestPerLu;
    BOOLEAN ReceiveEvent;
    USHORT VendorIdLength;
    PVOID VendorId;
    USHORT PortVersionFlags;
    USHORT DeviceIdLength;
    PVOID DeviceId;
    PHW_ADAPTER_CONTROL HwAdapterControl;
    PVOID HwBuildIo;
    PVOID HwFreeAdapterResources;
    PVOID HwProcessServiceRequest;
    PVOID HwCompleteServiceIrp;
    PVOID HwInitializeTracing;
    PVOID HwCleanupTracing;
} VIRTUAL_HW_INITIALIZATION_DATA;

} // extern "C"
