// What the kernel model's parts share: objects, the model lock and the checks.
#pragma once

#include "driver/nt/nt_api.h"
#include "tests/ntsim/model.h"

#include <condition_variable>
#include <map>
#include <mutex>
#include <string>

namespace ntsim {

namespace nt = vostrale::nt;

enum class Type : uint8_t { File, Device, Thread, Process, Token, Key, Driver, Link };

// Every object the model hands out starts with the bytes the driver may read through the
// kernel's documented layouts (FILE_OBJECT flags, DEVICE_OBJECT type, DRIVER_OBJECT).
struct Object {
    alignas(16) uint8_t body[0x180] = {};
    Type type;
    bool permanent = false;
    long refs = 0;    // pointer references taken through the model's routines
    long handles = 0; // handle-table entries
    explicit Object(Type t) : type(t) {}
};

struct Device : Object {
    Device* base = this; // the bottom of the device's stack
    bool fileSystem = false; // a file system's volume device: read IRPs for its files go here
    std::wstring name;       // in the object namespace ("\Device\CdRom7"); empty: unnamed
    Device* lower = nullptr; // the stack: the device this one is attached to, and above it
    Device* upper = nullptr;
    Device(uint32_t deviceType) : Object(Type::Device) {
        permanent = true;
        reinterpret_cast<nt::DEVICE_OBJECT*>(body)->DeviceType = deviceType;
    }
};

// The model's lock over every table and dispatcher state, and the condition every wait
// sleeps on.
extern std::mutex g_lock;
extern std::condition_variable g_changed;

// Records a violation when the calling thread's IRQL is above `maximum`.
void CheckIrql(const char* routine, uint8_t maximum);
// Records a violation when [address, address + size) lies in a paged pool block (memory a
// routine touches at DISPATCH_LEVEL must be non-paged).
void CheckNonPaged(const char* routine, const void* address, size_t size, const char* what);
bool IsRegisteredObject(const void* address, Type type);
// Puts an object into a handle table; the kernel table when `kernel`.
uint64_t InsertHandle(Process* process, Object* object, uint32_t access, bool kernel);
Process* CurrentProcess();
void* CurrentThreadObject();
// A new device object of the model (permanent).
Device* NewDevice(uint32_t deviceType);

// Drops the model's records of dispatcher objects in memory that goes away (an unmapped
// image, a freed device extension).
void ForgetObjectsIn(const void* begin, size_t size);

// After an unload has been reported: frees what the driver left behind, so the next load
// starts clean.
void ReclaimLeftovers();

// The driver object whose devices are the driver's own drives (files on them are refused).
void SetOwnDriver(void* driverObject);

// IofCompleteRequest on an IRP the driver built for a file read (resuming its completion
// after the completion routine kept it). False when `irp` is not such an IRP.
bool ResumeFileIrp(nt::IRP* irp);
// True when `address` lies in an IRP the model has freed.
bool InFreedIrp(uintptr_t address);

// Counters kept by the kernel part for the port part.
extern uint64_t g_completedIrps;
extern uint64_t g_portDispatchCalls;

// The port part's routines, bound by name like the kernel's.
struct Export {
    const char* dll;
    const char* name;
    void* address;
};
extern const Export g_portExports[];
extern const size_t g_portExportCount;

} // namespace ntsim
