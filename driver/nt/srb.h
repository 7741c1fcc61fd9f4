// The SCSI request block as StorPort hands it to a miniport (x64 layout), with the flag and
// status values the frame reads. Plain data only, so the translation code builds in every
// configuration, including the host unit tests.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace vostrale::nt {

struct SCSI_REQUEST_BLOCK {
    uint16_t Length;
    uint8_t Function;
    uint8_t SrbStatus;
    uint8_t ScsiStatus;
    uint8_t PathId;
    uint8_t TargetId;
    uint8_t Lun;
    uint8_t QueueTag;
    uint8_t QueueAction;
    uint8_t CdbLength;
    uint8_t SenseInfoBufferLength;
    uint32_t SrbFlags;
    uint32_t DataTransferLength;
    uint32_t TimeOutValue;
    void* DataBuffer;
    void* SenseInfoBuffer;
    SCSI_REQUEST_BLOCK* NextSrb;
    void* OriginalRequest;
    void* SrbExtension;
    uint32_t InternalStatus;
    uint32_t Reserved;
    uint8_t Cdb[16];
};
static_assert(sizeof(void*) != 8 || sizeof(SCSI_REQUEST_BLOCK) == 88);
static_assert(sizeof(void*) != 8 || offsetof(SCSI_REQUEST_BLOCK, DataBuffer) == 24);
static_assert(sizeof(void*) != 8 || offsetof(SCSI_REQUEST_BLOCK, SrbExtension) == 56);
static_assert(sizeof(void*) != 8 || offsetof(SCSI_REQUEST_BLOCK, Cdb) == 72);

// What HwFindAdapter fills for the port (x64 layout; the later members exist only when the
// port's Length covers them).
constexpr uint32_t StorSynchronizeFullDuplex = 1;

struct PORT_CONFIGURATION_INFORMATION {
    uint32_t Length;
    uint32_t SystemIoBusNumber;
    uint32_t AdapterInterfaceType;
    uint32_t BusInterruptLevel;
    uint32_t BusInterruptVector;
    uint32_t InterruptMode;
    uint32_t MaximumTransferLength;
    uint32_t NumberOfPhysicalBreaks;
    uint32_t DmaChannel;
    uint32_t DmaPort;
    uint32_t DmaWidth;
    uint32_t DmaSpeed;
    uint32_t AlignmentMask;
    uint32_t NumberOfAccessRanges;
    void* AccessRanges;
    void* MiniportDumpData;
    uint8_t NumberOfBuses;
    uint8_t InitiatorBusId[8];
    uint8_t ScatterGather;
    uint8_t Master;
    uint8_t CachesData;
    uint8_t AdapterScansDown;
    uint8_t AtdiskPrimaryClaimed;
    uint8_t AtdiskSecondaryClaimed;
    uint8_t Dma32BitAddresses;
    uint8_t DemandMode;
    uint8_t MapBuffers;
    uint8_t NeedPhysicalAddresses;
    uint8_t TaggedQueuing;
    uint8_t AutoRequestSense;
    uint8_t MultipleRequestPerLu;
    uint8_t ReceiveEvent;
    uint8_t RealModeInitialized;
    uint8_t BufferAccessScsiPortControlled;
    uint8_t MaximumNumberOfTargets;
    uint8_t SrbType;
    uint8_t AddressType;
    uint32_t SlotNumber;
    uint32_t BusInterruptLevel2;
    uint32_t BusInterruptVector2;
    uint32_t InterruptMode2;
    uint32_t DmaChannel2;
    uint32_t DmaPort2;
    uint32_t DmaWidth2;
    uint32_t DmaSpeed2;
    uint32_t DeviceExtensionSize;
    uint32_t SpecificLuExtensionSize;
    uint32_t SrbExtensionSize;
    uint8_t Dma64BitAddresses;
    uint8_t ResetTargetSupported;
    uint8_t MaximumNumberOfLogicalUnits;
    uint8_t WmiDataProvider;
    uint32_t SynchronizationModel;
    void* HwMSInterruptRoutine;
    uint32_t InterruptSynchronizationMode;
    struct {
        void* VirtualBase;
        int64_t PhysicalBase;
        uint32_t Length;
    } DumpRegion;
    uint32_t RequestedDumpBufferSize;
    uint8_t VirtualDevice;
    uint8_t DumpMode;
    uint32_t ExtendedFlags1;
    uint32_t MaxNumberOfIO;
    uint32_t MaxIOsPerLun;
    uint32_t InitialLunQueueDepth;
    uint32_t BusResetHoldTime;
    uint32_t FeatureSupport;
};
static_assert(offsetof(PORT_CONFIGURATION_INFORMATION, NumberOfBuses) == 72);
static_assert(offsetof(PORT_CONFIGURATION_INFORMATION, MaximumNumberOfTargets) == 97);
static_assert(offsetof(PORT_CONFIGURATION_INFORMATION, WmiDataProvider) == 147);
static_assert(offsetof(PORT_CONFIGURATION_INFORMATION, SynchronizationModel) == 148);
static_assert(offsetof(PORT_CONFIGURATION_INFORMATION, VirtualDevice) == 196);
static_assert(sizeof(PORT_CONFIGURATION_INFORMATION) == 224);

constexpr uint32_t SRB_FLAGS_DISABLE_AUTOSENSE = 0x00000020;
constexpr uint8_t SRB_STATUS_ERROR = 0x04;
constexpr uint8_t SRB_STATUS_BUSY = 0x05;
constexpr uint8_t SRB_STATUS_AUTOSENSE_VALID = 0x80;
constexpr uint8_t SRB_FUNCTION_EXECUTE_SCSI = 0x00;
constexpr uint8_t SCSISTAT_GOOD = 0x00;

} // namespace vostrale::nt
