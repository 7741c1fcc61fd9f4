// The parts of the StorPort frame that are pure decisions on plain data: turning an SRB into
// the engine's request and back, the device-control takeover, the adapter-control type list
// and the kernel form of a file-list path. Free of kernel calls, so the host tests build them.
#pragma once

#include "driver/core/engine.h"
#include "driver/nt/srb.h"

namespace vostrale::nt {

// The SRB extension: the engine's request and a guard that lets only the first completion
// through to the port.
struct RequestSlot {
    ScsiRequest request;
    uint32_t completed; // 0 while the request is ours, 1 once the port has been told
};

// Asks the port for the system address of the SRB's data buffer. False when it has none.
using SystemAddressLookup = bool (*)(void* port, SCSI_REQUEST_BLOCK* srb, void** address);

// Fills the SRB's slot for the engine. False when the request cannot go to the engine: it has
// no extension, or it carries data whose system address cannot be had (busy: the port retries).
// The SRB then holds its status and must be completed by the caller, without ever reaching
// the engine.
bool PrepareRequest(void* port, SCSI_REQUEST_BLOCK* srb, SystemAddressLookup lookup);

// Copies the engine's results into the request's SRB (never raising its transfer or sense
// length) and returns it. Null when the request was already completed: the caller must not
// tell the port a second time.
SCSI_REQUEST_BLOCK* FinishRequest(ScsiRequest* request);

// The device-control takeover on one dispatch slot. Installs `handler` unless it is already
// there, saving the routine it replaces; the saved routine is never our own handler. False
// when nothing was installed (already ours, or the slot is empty).
bool InstallTakeover(void** slot, void* handler, void** saved);
// Puts the saved routine back if the slot still holds `handler`. False when someone else
// replaced it since (the slot is then left alone and `saved` stays valid for pass-on).
bool RemoveTakeover(void** slot, void* handler, void* saved);

// The adapter's port configuration: 128 KiB transfers, one bus with seven targets of one unit
// each, the initiator at id 7, autosense, full-duplex synchronisation and a virtual device
// where the structure is long enough to hold those members.
constexpr uint32_t kMaximumTransferLength = 0x20000;
constexpr uint32_t kPhysicalBreaks = 8185;
constexpr uint8_t kInitiatorId = 7;
constexpr uint8_t kTargets = 7;
void FillConfiguration(PORT_CONFIGURATION_INFORMATION* c);

// Control types the adapter answers (query, stop, restart, boot and running configuration).
constexpr uint32_t kSupportedControlTypes = 5;
// Marks them in a supported-type list of `maxControlType` entries.
void MarkSupportedControlTypes(uint32_t maxControlType, uint8_t* list);

// DeviceIoControl code of the private request: device type 4, function 0xCCD, buffered, any
// access.
constexpr uint32_t kControlCode = 0x43334;

// What the device-control takeover knows of a request when it decides whether it is ours.
struct ControlGate {
    uint32_t code;
    bool passive;            // at PASSIVE_LEVEL
    bool fromUserMode;       // the requestor mode
    bool hasBuffer;          // a system buffer to read and answer in
    bool inRequestorProcess; // running in the process that sent it (its handles and pointers)
};
// The private request from a user-mode caller, handled in that caller's own thread; anything
// else goes to the port's routine.
bool IsPrivateControlRequest(const ControlGate& gate);

// The threads currently inside a control request (a handful at most: requests that wait for a
// worker hold their place meanwhile). Only they may use the sender's handles, memory and
// identity.
constexpr uint32_t kSenderSlots = 16;
struct SenderTable {
    void* slots[kSenderSlots];
};
// False when the table is full (the request is then not handled).
bool EnterSender(SenderTable* table, void* thread);
void LeaveSender(SenderTable* table, void* thread);
bool IsSender(SenderTable* table, void* thread);

// The kernel name of an 8-bit file-list path: "X:\..." and "\\server\share\..." (also with the
// "\\?\" or "\??\" prefix) become "\??\X:\..." and "\??\UNC\server\share\...". Relative paths,
// device names and the "\\.\" namespace are refused. Returns the length written (with a
// terminating zero after it), 0 when refused or when `capacity` is too small.
uint32_t KernelPathFromAnsi(const char* path, char* out, uint32_t capacity);

// Where a file-list name leads is found before anything on the way is opened: opening a file
// on one of our own drives, or through a share of this machine, sends the file system's reads
// to a worker of this driver, possibly the very one that is opening it.

// The first step of a kernel path made by KernelPathFromAnsi: its drive letter, or its host.
struct PathRoot {
    bool unc;
    char letter;   // drive paths: the letter, upper case
    bool loopback; // UNC paths: the host is this machine
};
PathRoot RootOfKernelPath(const char* kernelPath);

// "localhost" (with or without a trailing dot), any 127.x.y.z, the IPv6 loopback "::1" in its
// spellings (also bracketed, or as the "0--1.ipv6-literal.net" name); any case. The machine's
// own names and addresses on its networks are not known here.
bool IsLoopbackHost(const wchar_t* host, uint32_t chars);

// What a drive letter's symbolic link names.
struct LinkTarget {
    enum Kind : uint8_t {
        kDevice,     // a device ("\Device\HarddiskVolume2", "\Device\CdRom3")
        kDrive,      // another drive's path (a substituted drive): follow that letter
        kRedirected, // a network redirector's path ("\Device\Mup\;...\server\share")
        kUnknown,
    } kind;
    char letter;   // kDrive
    bool loopback; // kRedirected: its server is this machine
};
LinkTarget ClassifyLinkTarget(const wchar_t* target, uint32_t chars);

// True when `target` is the device named `device`, or a path below it (case-insensitive).
bool NamesDevice(const wchar_t* target, uint32_t targetChars, const wchar_t* device,
                 uint32_t deviceChars);

} // namespace vostrale::nt
