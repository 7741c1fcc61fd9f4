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

constexpr uint32_t SRB_FLAGS_DISABLE_AUTOSENSE = 0x00000020;
constexpr uint8_t SRB_STATUS_ERROR = 0x04;
constexpr uint8_t SRB_STATUS_BUSY = 0x05;
constexpr uint8_t SRB_STATUS_AUTOSENSE_VALID = 0x80;
constexpr uint8_t SRB_FUNCTION_EXECUTE_SCSI = 0x00;
constexpr uint8_t SCSISTAT_GOOD = 0x00;

} // namespace vostrale::nt
