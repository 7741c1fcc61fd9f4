#include "driver/nt/port_logic.h"

namespace vostrale::nt {

bool PrepareRequest(void* port, SCSI_REQUEST_BLOCK* srb, SystemAddressLookup lookup) {
    RequestSlot* slot = static_cast<RequestSlot*>(srb->SrbExtension);
    if (!slot) {
        srb->SrbStatus = SRB_STATUS_ERROR;
        srb->ScsiStatus = SCSISTAT_GOOD;
        srb->DataTransferLength = 0;
        return false;
    }
    ZeroBytes(slot, sizeof(*slot));
    ScsiRequest& r = slot->request;
    r.function = srb->Function;
    r.pathId = srb->PathId;
    r.targetId = srb->TargetId;
    r.lun = srb->Lun;
    r.cdbLength = uint8_t(Min<uint32_t>(srb->CdbLength, sizeof(r.cdb)));
    CopyBytes(r.cdb, srb->Cdb, r.cdbLength);
    r.sense = static_cast<uint8_t*>(srb->SenseInfoBuffer);
    r.senseLength = r.sense ? srb->SenseInfoBufferLength : 0;
    r.autosenseDisabled = (srb->SrbFlags & SRB_FLAGS_DISABLE_AUTOSENSE) != 0;
    r.portContext = srb;
    if (srb->Function == SRB_FUNCTION_EXECUTE_SCSI && srb->DataTransferLength != 0) {
        // The buffer the SRB names may be a caller's address; the engine gets the system
        // mapping or nothing at all.
        void* address = nullptr;
        bool mapped = srb->DataBuffer && lookup(port, srb, &address) && address;
        if (!mapped) {
            slot->completed = 1;
            // A buffer that cannot be mapped now is a passing shortage: busy makes the port
            // send the request again. A length without a buffer is a malformed request.
            srb->SrbStatus = srb->DataBuffer ? SRB_STATUS_BUSY : SRB_STATUS_ERROR;
            srb->ScsiStatus = SCSISTAT_GOOD;
            srb->DataTransferLength = 0;
            return false;
        }
        r.data = address;
        r.transferLength = srb->DataTransferLength;
    }
    return true;
}

SCSI_REQUEST_BLOCK* FinishRequest(ScsiRequest* request) {
    RequestSlot* slot = reinterpret_cast<RequestSlot*>(request);
    if (__atomic_exchange_n(&slot->completed, 1u, __ATOMIC_ACQ_REL) != 0)
        return nullptr;
    SCSI_REQUEST_BLOCK* srb = static_cast<SCSI_REQUEST_BLOCK*>(request->portContext);
    srb->SrbStatus = request->srbStatus;
    srb->ScsiStatus = request->scsiStatus;
    srb->DataTransferLength =
        request->data ? Min(request->transferLength, srb->DataTransferLength) : 0;
    if (request->srbStatus & SRB_STATUS_AUTOSENSE_VALID)
        srb->SenseInfoBufferLength =
            uint8_t(Min<uint32_t>(request->senseDelivered, srb->SenseInfoBufferLength));
    return srb;
}

bool InstallTakeover(void** slot, void* handler, void** saved) {
    void* current = __atomic_load_n(slot, __ATOMIC_ACQUIRE);
    while (current && current != handler) {
        // The saved routine must be in place before the handler can be reached through the slot.
        __atomic_store_n(saved, current, __ATOMIC_RELEASE);
        if (__atomic_compare_exchange_n(slot, &current, handler, false, __ATOMIC_ACQ_REL,
                                        __ATOMIC_ACQUIRE))
            return true;
    }
    return false;
}

bool RemoveTakeover(void** slot, void* handler, void* saved) {
    void* expected = handler;
    return saved && __atomic_compare_exchange_n(slot, &expected, saved, false, __ATOMIC_ACQ_REL,
                                                __ATOMIC_ACQUIRE);
}

bool IsPrivateControlRequest(const ControlGate& g) {
    return g.code == kControlCode && g.passive && g.fromUserMode && g.hasBuffer &&
           g.inRequestorProcess;
}

bool EnterSender(SenderTable* table, void* thread) {
    for (uint32_t i = 0; i < kSenderSlots; ++i) {
        void* expected = nullptr;
        if (__atomic_compare_exchange_n(&table->slots[i], &expected, thread, false,
                                        __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE))
            return true;
    }
    return false;
}

void LeaveSender(SenderTable* table, void* thread) {
    for (uint32_t i = 0; i < kSenderSlots; ++i) {
        void* expected = thread;
        if (__atomic_compare_exchange_n(&table->slots[i], &expected, nullptr, false,
                                        __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE))
            return;
    }
}

bool IsSender(SenderTable* table, void* thread) {
    for (uint32_t i = 0; i < kSenderSlots; ++i) {
        if (__atomic_load_n(&table->slots[i], __ATOMIC_ACQUIRE) == thread)
            return true;
    }
    return false;
}

void FillConfiguration(PORT_CONFIGURATION_INFORMATION* c) {
    c->MaximumTransferLength = kMaximumTransferLength;
    c->NumberOfPhysicalBreaks = kPhysicalBreaks;
    c->AlignmentMask = 0;
    c->NumberOfBuses = 1;
    c->InitiatorBusId[0] = kInitiatorId;
    c->ScatterGather = 1;
    c->CachesData = 1;
    c->AutoRequestSense = 1;
    c->ReceiveEvent = 1;
    c->MaximumNumberOfTargets = kTargets;
    c->MaximumNumberOfLogicalUnits = 1;
    c->WmiDataProvider = 0;
    // The later members exist only in a structure as long as the port says.
    if (c->Length >= offsetof(PORT_CONFIGURATION_INFORMATION, SynchronizationModel) + 4)
        c->SynchronizationModel = StorSynchronizeFullDuplex;
    if (c->Length > offsetof(PORT_CONFIGURATION_INFORMATION, VirtualDevice))
        c->VirtualDevice = 1;
}

void MarkSupportedControlTypes(uint32_t maxControlType, uint8_t* list) {
    for (uint32_t i = 0; i < kSupportedControlTypes && i < maxControlType; ++i)
        list[i] = 1;
}

namespace {

bool IsLetter(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

bool StartsWith(const char* text, const char* prefix) {
    for (; *prefix; ++text, ++prefix) {
        char a = *text >= 'a' && *text <= 'z' ? char(*text - 'a' + 'A') : *text;
        char b = *prefix >= 'a' && *prefix <= 'z' ? char(*prefix - 'a' + 'A') : *prefix;
        if (a != b)
            return false;
    }
    return true;
}

bool IsDrivePath(const char* p) {
    return IsLetter(p[0]) && p[1] == ':' && p[2] == '\\';
}

// "server\share..." after the two leading backslashes: both names present.
bool IsShareRest(const char* p) {
    uint32_t i = 0;
    while (p[i] && p[i] != '\\')
        ++i;
    return i > 0 && p[i] == '\\' && p[i + 1] && p[i + 1] != '\\';
}

} // namespace

uint32_t KernelPathFromAnsi(const char* path, char* out, uint32_t capacity) {
    const char* rest = nullptr; // the part after the kernel prefix
    const char* prefix = "\\??\\";
    const char* body = path;
    if (StartsWith(body, "\\\\?\\") || StartsWith(body, "\\??\\"))
        body += 4;
    else if (body[0] == '\\' && body[1] == '\\' && body[2] != '?' && body[2] != '.' &&
             IsShareRest(body + 2))
        rest = body + 2, prefix = "\\??\\UNC\\";
    if (!rest) {
        if (IsDrivePath(body))
            rest = body;
        else if (body != path && StartsWith(body, "UNC\\") && IsShareRest(body + 4))
            rest = body + 4, prefix = "\\??\\UNC\\";
        else
            return 0;
    }
    uint32_t length = 0;
    for (const char* p = prefix; *p; ++p) {
        if (length + 1 >= capacity)
            return 0;
        out[length++] = *p;
    }
    for (const char* p = rest; *p; ++p) {
        if (length + 1 >= capacity)
            return 0;
        out[length++] = *p;
    }
    out[length] = 0;
    return length;
}

namespace {

wchar_t Upper(wchar_t c) {
    return c >= L'a' && c <= L'z' ? wchar_t(c - L'a' + L'A') : c;
}

// Case-insensitive: does text[0, chars) start with `prefix`?
bool WideStartsWith(const wchar_t* text, uint32_t chars, const wchar_t* prefix) {
    uint32_t i = 0;
    for (; prefix[i]; ++i) {
        if (i >= chars || Upper(text[i]) != Upper(prefix[i]))
            return false;
    }
    return true;
}

bool WideEquals(const wchar_t* text, uint32_t chars, const wchar_t* word) {
    uint32_t i = 0;
    for (; word[i]; ++i) {
        if (i >= chars || Upper(text[i]) != Upper(word[i]))
            return false;
    }
    return i == chars;
}

// 127.x.y.z with every part a decimal number below 256.
bool IsLoopbackV4(const wchar_t* host, uint32_t chars) {
    if (!WideStartsWith(host, chars, L"127."))
        return false;
    uint32_t parts = 0, digits = 0, value = 0;
    for (uint32_t i = 0; i <= chars; ++i) {
        if (i == chars || host[i] == L'.') {
            if (digits == 0 || value > 255)
                return false;
            ++parts;
            digits = value = 0;
        } else if (host[i] >= L'0' && host[i] <= L'9' && digits < 3) {
            value = value * 10 + uint32_t(host[i] - L'0');
            ++digits;
        } else {
            return false;
        }
    }
    return parts == 4;
}

// "::1" and its longer spellings (zero groups, leading zeros), with or without brackets.
bool IsLoopbackV6(const wchar_t* host, uint32_t chars) {
    if (chars >= 2 && host[0] == L'[' && host[chars - 1] == L']') {
        ++host;
        chars -= 2;
    }
    if (chars < 3)
        return false;
    // Every hex digit must be 0 except a last group of value 1, and there must be colons.
    uint32_t colons = 0;
    uint32_t last = chars;
    while (last > 0 && host[last - 1] != L':')
        --last;
    if (last == 0)
        return false;
    uint32_t lastValue = 0;
    for (uint32_t i = last; i < chars; ++i) {
        wchar_t c = Upper(host[i]);
        if (!((c >= L'0' && c <= L'9') || (c >= L'A' && c <= L'F')) || lastValue > 0xFFF)
            return false;
        lastValue = lastValue * 16 + uint32_t(c <= L'9' ? c - L'0' : c - L'A' + 10);
    }
    for (uint32_t i = 0; i < last; ++i) {
        if (host[i] == L':')
            ++colons;
        else if (host[i] != L'0')
            return false;
    }
    return lastValue == 1 && colons >= 2 && colons <= 7;
}

} // namespace

bool IsLoopbackHost(const wchar_t* host, uint32_t chars) {
    if (chars > 0 && host[chars - 1] == L'.' && !(chars >= 2 && host[chars - 2] == L'.'))
        --chars; // a fully qualified name's trailing dot
    return WideEquals(host, chars, L"localhost") || IsLoopbackV4(host, chars) ||
           IsLoopbackV6(host, chars) || WideEquals(host, chars, L"0--1.ipv6-literal.net");
}

PathRoot RootOfKernelPath(const char* kernelPath) {
    PathRoot root{false, 0, false};
    if (StartsWith(kernelPath, "\\??\\UNC\\")) {
        root.unc = true;
        const char* host = kernelPath + 8;
        wchar_t wide[64];
        uint32_t chars = 0;
        while (host[chars] && host[chars] != '\\') {
            if (chars == sizeof(wide) / sizeof(wide[0]))
                return root; // longer than any loopback spelling
            wide[chars] = wchar_t(uint8_t(host[chars]));
            ++chars;
        }
        root.loopback = IsLoopbackHost(wide, chars);
    } else if (StartsWith(kernelPath, "\\??\\") && IsDrivePath(kernelPath + 4)) {
        char c = kernelPath[4];
        root.letter = c >= 'a' && c <= 'z' ? char(c - 'a' + 'A') : c;
    }
    return root;
}

LinkTarget ClassifyLinkTarget(const wchar_t* target, uint32_t chars) {
    LinkTarget out{LinkTarget::kUnknown, 0, false};
    // Another drive: "\??\C:\dir", "\DosDevices\C:\dir", "\GLOBAL??\C:\dir".
    static const wchar_t* const kDosPrefixes[] = {L"\\??\\", L"\\DosDevices\\",
                                                  L"\\GLOBAL??\\"};
    for (const wchar_t* dos : kDosPrefixes) {
        uint32_t n = 0;
        while (dos[n])
            ++n;
        if (WideStartsWith(target, chars, dos) && chars >= n + 2 && target[n + 1] == L':' &&
            Upper(target[n]) >= L'A' && Upper(target[n]) <= L'Z' &&
            (chars == n + 2 || target[n + 2] == L'\\')) {
            out.kind = LinkTarget::kDrive;
            out.letter = char(Upper(target[n]));
            return out;
        }
    }
    if (!WideStartsWith(target, chars, L"\\Device\\") || chars == 8)
        return out;
    // The device's name, then what follows it.
    uint32_t i = 8;
    while (i < chars && target[i] != L'\\')
        ++i;
    bool mup = WideEquals(target + 8, i - 8, L"Mup");
    if (!mup && (i + 1 >= chars || target[i + 1] != L';')) {
        out.kind = LinkTarget::kDevice;
        return out;
    }
    // A redirector's path: components starting with ';' name the provider and the session;
    // the first one that does not is the server.
    out.kind = LinkTarget::kRedirected;
    while (i < chars) {
        uint32_t start = i + 1;
        uint32_t end = start;
        while (end < chars && target[end] != L'\\')
            ++end;
        if (end > start && target[start] != L';') {
            out.loopback = IsLoopbackHost(target + start, end - start);
            return out;
        }
        i = end;
    }
    out.kind = LinkTarget::kUnknown; // no server in it
    return out;
}

bool NamesDevice(const wchar_t* target, uint32_t targetChars, const wchar_t* device,
                 uint32_t deviceChars) {
    if (deviceChars == 0 || targetChars < deviceChars)
        return false;
    for (uint32_t i = 0; i < deviceChars; ++i) {
        if (Upper(target[i]) != Upper(device[i]))
            return false;
    }
    return targetChars == deviceChars || target[deviceChars] == L'\\';
}

} // namespace vostrale::nt
