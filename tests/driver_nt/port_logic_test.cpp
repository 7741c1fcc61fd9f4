#include "driver/nt/port_logic.h"

#include <gtest/gtest.h>

#include <cstring>
#include <cwchar>
#include <string>

namespace vostrale::nt {
namespace {

constexpr uint8_t kFunctionPnp = 0x24;

// A port whose address lookup answers as a test case says and counts its calls.
struct FakePort {
    bool succeeds = true;
    void* address = nullptr;
    int calls = 0;
};

bool Lookup(void* port, SCSI_REQUEST_BLOCK*, void** address) {
    FakePort* p = static_cast<FakePort*>(port);
    ++p->calls;
    *address = p->address;
    return p->succeeds;
}

struct Fixture {
    SCSI_REQUEST_BLOCK srb{};
    RequestSlot slot{};
    uint8_t userBuffer[64]{};
    uint8_t systemBuffer[64]{};
    uint8_t sense[32]{};

    Fixture() {
        srb.SrbExtension = &slot;
        srb.DataBuffer = userBuffer;
        srb.DataTransferLength = sizeof(userBuffer);
        srb.SenseInfoBuffer = sense;
        srb.SenseInfoBufferLength = sizeof(sense);
        srb.CdbLength = 10;
        srb.Cdb[0] = 0x28;
    }
};

TEST(PortLogic, RequestsReachTheEngineOnlyWithASystemAddress) {
    struct Case {
        const char* name;
        uint8_t function;
        uint32_t length;
        bool hasBuffer;
        bool lookupSucceeds;
        bool lookupGivesAddress;
        bool prepared;
        int lookups;
        uint8_t refusal; // the status a refused request completes with
    } cases[] = {
        {"data, mapped", SRB_FUNCTION_EXECUTE_SCSI, 64, true, true, true, true, 1, 0},
        // No mapping now is a passing shortage: busy, so the port sends the request again.
        {"data, lookup fails", SRB_FUNCTION_EXECUTE_SCSI, 64, true, false, true, false, 1,
         SRB_STATUS_BUSY},
        {"data, lookup gives null", SRB_FUNCTION_EXECUTE_SCSI, 64, true, true, false, false, 1,
         SRB_STATUS_BUSY},
        {"length without buffer", SRB_FUNCTION_EXECUTE_SCSI, 64, false, true, true, false, 0,
         SRB_STATUS_ERROR},
        {"no data", SRB_FUNCTION_EXECUTE_SCSI, 0, true, true, true, true, 0, 0},
        {"not a SCSI command", kFunctionPnp, 64, true, false, false, true, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Fixture f;
        f.srb.Function = c.function;
        f.srb.DataTransferLength = c.length;
        if (!c.hasBuffer)
            f.srb.DataBuffer = nullptr;
        FakePort port{c.lookupSucceeds, c.lookupGivesAddress ? f.systemBuffer : nullptr};
        bool prepared = PrepareRequest(&port, &f.srb, Lookup);
        EXPECT_EQ(prepared, c.prepared);
        EXPECT_EQ(port.calls, c.lookups);
        const ScsiRequest& r = f.slot.request;
        if (prepared) {
            bool mapped = c.function == SRB_FUNCTION_EXECUTE_SCSI && c.length != 0;
            EXPECT_EQ(r.data, mapped ? static_cast<void*>(f.systemBuffer) : nullptr);
            EXPECT_EQ(r.transferLength, mapped ? c.length : 0u);
            EXPECT_EQ(r.portContext, &f.srb);
        } else {
            // Completed by the frame; the engine's completion cannot follow.
            EXPECT_EQ(f.srb.SrbStatus, c.refusal);
            EXPECT_EQ(f.srb.DataTransferLength, 0u);
            EXPECT_EQ(FinishRequest(&f.slot.request), nullptr);
        }
    }
}

TEST(PortLogic, RequestWithoutExtensionIsRefused) {
    Fixture f;
    f.srb.SrbExtension = nullptr;
    FakePort port{true, f.systemBuffer};
    EXPECT_FALSE(PrepareRequest(&port, &f.srb, Lookup));
    EXPECT_EQ(f.srb.SrbStatus, SRB_STATUS_ERROR);
    EXPECT_EQ(port.calls, 0);
}

TEST(PortLogic, CommandAndSenseFieldsAreCopied) {
    Fixture f;
    f.srb.PathId = 0;
    f.srb.TargetId = 3;
    f.srb.Lun = 1;
    f.srb.CdbLength = 40; // hostile: more than the block holds
    for (uint8_t i = 0; i < 16; ++i)
        f.srb.Cdb[i] = uint8_t(0xA0 + i);
    f.srb.SrbFlags = SRB_FLAGS_DISABLE_AUTOSENSE;
    FakePort port{true, f.systemBuffer};
    ASSERT_TRUE(PrepareRequest(&port, &f.srb, Lookup));
    const ScsiRequest& r = f.slot.request;
    EXPECT_EQ(r.targetId, 3);
    EXPECT_EQ(r.lun, 1);
    EXPECT_EQ(r.cdbLength, 16);
    EXPECT_EQ(std::memcmp(r.cdb, f.srb.Cdb, 16), 0);
    EXPECT_TRUE(r.autosenseDisabled);
    EXPECT_EQ(r.sense, f.sense);
    EXPECT_EQ(r.senseLength, sizeof(f.sense));

    Fixture g;
    g.srb.SenseInfoBuffer = nullptr; // a length without a buffer is no room for sense
    ASSERT_TRUE(PrepareRequest(&port, &g.srb, Lookup));
    EXPECT_EQ(g.slot.request.senseLength, 0);
    EXPECT_FALSE(g.slot.request.autosenseDisabled);
}

TEST(PortLogic, FinishingNeverRaisesLengthsAndHappensOnce) {
    Fixture f;
    f.srb.DataTransferLength = 32;
    f.srb.SenseInfoBufferLength = 14;
    FakePort port{true, f.systemBuffer};
    ASSERT_TRUE(PrepareRequest(&port, &f.srb, Lookup));
    ScsiRequest& r = f.slot.request;
    r.srbStatus = uint8_t(kSrbStatusError | kSrbStatusAutosenseValid);
    r.scsiStatus = kScsiStatusCheckCondition;
    r.transferLength = 4096; // more than the SRB described
    r.senseDelivered = 18;   // more than its sense buffer
    EXPECT_EQ(FinishRequest(&r), &f.srb);
    EXPECT_EQ(f.srb.SrbStatus, r.srbStatus);
    EXPECT_EQ(f.srb.ScsiStatus, kScsiStatusCheckCondition);
    EXPECT_EQ(f.srb.DataTransferLength, 32u);
    EXPECT_EQ(f.srb.SenseInfoBufferLength, 14);

    r.srbStatus = kSrbStatusSuccess;
    r.transferLength = 8;
    EXPECT_EQ(FinishRequest(&r), nullptr);
    EXPECT_EQ(f.srb.DataTransferLength, 32u); // the second completion changed nothing

    Fixture g;
    ASSERT_TRUE(PrepareRequest(&port, &g.srb, Lookup));
    g.slot.request.srbStatus = kSrbStatusDataOverrun;
    g.slot.request.transferLength = 12;
    ASSERT_EQ(FinishRequest(&g.slot.request), &g.srb);
    EXPECT_EQ(g.srb.DataTransferLength, 12u);
    EXPECT_EQ(g.srb.SenseInfoBufferLength, sizeof(g.sense)); // no valid sense: left as it was
}

int PortRoutine;
int OurHandler;
int OtherFilter;
void* Port() {
    return &PortRoutine;
}
void* Ours() {
    return &OurHandler;
}
void* Other() {
    return &OtherFilter;
}

TEST(PortLogic, TakeoverIsInstalledOnceAndRestored) {
    void* slot = Port();
    void* saved = nullptr;
    EXPECT_TRUE(InstallTakeover(&slot, Ours(), &saved));
    EXPECT_EQ(slot, Ours());
    EXPECT_EQ(saved, Port());

    // A second adapter start (or a second HwInitialize) must not save our own handler.
    EXPECT_FALSE(InstallTakeover(&slot, Ours(), &saved));
    EXPECT_EQ(saved, Port());

    EXPECT_TRUE(RemoveTakeover(&slot, Ours(), saved));
    EXPECT_EQ(slot, Port());
    EXPECT_FALSE(RemoveTakeover(&slot, Ours(), saved)); // nothing of ours left to remove
    EXPECT_EQ(slot, Port());

    // Installed again for a later adapter: saves the port's routine again.
    EXPECT_TRUE(InstallTakeover(&slot, Ours(), &saved));
    EXPECT_EQ(saved, Port());

    // Someone chained after us: we leave their routine in place and keep ours to pass on.
    slot = Other();
    EXPECT_FALSE(RemoveTakeover(&slot, Ours(), saved));
    EXPECT_EQ(slot, Other());
    EXPECT_EQ(saved, Port());

    void* empty = nullptr;
    void* none = nullptr;
    EXPECT_FALSE(InstallTakeover(&empty, Ours(), &none));
    EXPECT_EQ(empty, nullptr);
}

TEST(PortLogic, SupportedControlTypesStayInsideTheList) {
    uint8_t list[8];
    std::memset(list, 0xEE, sizeof(list));
    MarkSupportedControlTypes(3, list);
    EXPECT_EQ(list[0], 1);
    EXPECT_EQ(list[2], 1);
    EXPECT_EQ(list[3], 0xEE);
    std::memset(list, 0, sizeof(list));
    MarkSupportedControlTypes(8, list);
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(list[i], i < 5 ? 1 : 0) << i;
}

TEST(PortLogic, FileListPathsBecomeKernelNamesOrAreRefused) {
    struct Case {
        const char* path;
        const char* kernel; // null: refused
    } cases[] = {
        {"C:\\images\\part1.iso", "\\??\\C:\\images\\part1.iso"},
        {"d:\\x", "\\??\\d:\\x"},
        {"\\\\server\\share\\a.bin", "\\??\\UNC\\server\\share\\a.bin"},
        {"\\\\?\\C:\\long\\name.bin", "\\??\\C:\\long\\name.bin"},
        {"\\\\?\\UNC\\server\\share\\a", "\\??\\UNC\\server\\share\\a"},
        {"\\??\\E:\\a", "\\??\\E:\\a"},
        {"images\\part1.iso", nullptr},     // relative
        {"C:part1.iso", nullptr},           // drive-relative
        {"\\\\.\\PhysicalDrive0", nullptr}, // device namespace
        {"\\\\.\\pipe\\x", nullptr},
        {"\\Device\\NamedPipe\\x", nullptr}, // raw kernel names
        {"\\??\\pipe\\x", nullptr},
        {"\\\\server", nullptr}, // no share
        {"\\\\server\\\\x", nullptr},
        {"", nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        char out[64];
        uint32_t length = KernelPathFromAnsi(c.path, out, sizeof(out));
        if (!c.kernel) {
            EXPECT_EQ(length, 0u);
            continue;
        }
        ASSERT_EQ(length, std::strlen(c.kernel));
        EXPECT_EQ(std::string(out), c.kernel);
    }
    // A name that does not fit is refused, never cut.
    char small[15]; // the four-character kernel prefix, 10 characters and the zero
    EXPECT_EQ(KernelPathFromAnsi("C:\\abcdefgh", small, sizeof(small)), 0u);
    EXPECT_EQ(KernelPathFromAnsi("C:\\abcdefg", small, sizeof(small)), 14u);
}

uint32_t Chars(const wchar_t* text) {
    return uint32_t(std::wcslen(text));
}

TEST(FileListNames, TheRootOfAKernelPathAndLoopbackHosts) {
    // Paths as KernelPathFromAnsi makes them: a drive's letter, or a host that may be this
    // machine, whose shares could lie on one of our drives.
    struct Case {
        const char* path;
        bool unc;
        char letter;
        bool loopback;
    } cases[] = {
        {"\\??\\C:\\images\\a.iso", false, 'C', false},
        {"\\??\\q:\\a", false, 'Q', false},
        {"\\??\\UNC\\server\\share\\a", true, 0, false},
        {"\\??\\UNC\\localhost\\share\\a", true, 0, true},
        {"\\??\\UNC\\LOCALHOST.\\c$\\a", true, 0, true},
        {"\\??\\UNC\\127.0.0.1\\share\\a", true, 0, true},
        {"\\??\\UNC\\127.254.3.9\\share\\a", true, 0, true},
        {"\\??\\UNC\\127.0.0.256\\share\\a", true, 0, false},
        {"\\??\\UNC\\127.0.0\\share\\a", true, 0, false},
        {"\\??\\UNC\\128.0.0.1\\share\\a", true, 0, false},
        {"\\??\\UNC\\[::1]\\share\\a", true, 0, true},
        {"\\??\\UNC\\0:0:0:0:0:0:0:1\\share\\a", true, 0, true},
        {"\\??\\UNC\\0--1.ipv6-literal.net\\share\\a", true, 0, true},
        {"\\??\\UNC\\::2\\share\\a", true, 0, false},
        {"\\??\\UNC\\localhostx\\share\\a", true, 0, false},
        {"\\??\\UNC\\aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa\\s\\a",
         true, 0, false},
        {"\\Device\\x", false, 0, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        PathRoot root = RootOfKernelPath(c.path);
        EXPECT_EQ(root.unc, c.unc);
        EXPECT_EQ(root.letter, c.letter);
        EXPECT_EQ(root.loopback, c.loopback);
    }
}

TEST(FileListNames, WhereADriveLetterLeads) {
    struct Case {
        const wchar_t* target;
        LinkTarget::Kind kind;
        char letter;
        bool loopback;
    } cases[] = {
        {L"\\Device\\HarddiskVolume2", LinkTarget::kDevice, 0, false},
        {L"\\Device\\CdRom3", LinkTarget::kDevice, 0, false},
        {L"\\??\\C:\\folder", LinkTarget::kDrive, 'C', false}, // a substituted drive
        {L"\\DosDevices\\q:", LinkTarget::kDrive, 'Q', false},
        {L"\\GLOBAL??\\E:\\x", LinkTarget::kDrive, 'E', false},
        {L"\\Device\\LanmanRedirector\\;Z:000000000001a2b3\\server\\share",
         LinkTarget::kRedirected, 0, false},
        {L"\\Device\\LanmanRedirector\\;Z:000000000001a2b3\\localhost\\share",
         LinkTarget::kRedirected, 0, true},
        {L"\\Device\\Mup\\;LanmanRedirector\\;N:0000000000001234\\127.0.0.1\\c$",
         LinkTarget::kRedirected, 0, true},
        {L"\\Device\\Mup\\server\\share", LinkTarget::kRedirected, 0, false},
        {L"\\Device\\Mup\\;LanmanRedirector\\;N:1", LinkTarget::kUnknown, 0, false},
        {L"\\Device\\", LinkTarget::kUnknown, 0, false},
        {L"\\??\\pipe\\x", LinkTarget::kUnknown, 0, false},
        {L"C:\\x", LinkTarget::kUnknown, 0, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(std::wstring(c.target)));
        LinkTarget t = ClassifyLinkTarget(c.target, Chars(c.target));
        EXPECT_EQ(t.kind, c.kind);
        EXPECT_EQ(t.letter, c.letter);
        EXPECT_EQ(t.loopback, c.loopback);
    }
    // A target's length is what counts, not a terminator.
    const wchar_t cut[] = L"\\??\\C:\\x";
    EXPECT_EQ(ClassifyLinkTarget(cut, 5).kind, LinkTarget::kUnknown);
}

TEST(FileListNames, ADeviceAndThePathsBelowIt) {
    const wchar_t* ours = L"\\Device\\CdRom3";
    EXPECT_TRUE(NamesDevice(L"\\Device\\CdRom3", 14, ours, Chars(ours)));
    EXPECT_TRUE(NamesDevice(L"\\device\\cdrom3\\dir", 18, ours, Chars(ours)));
    EXPECT_FALSE(NamesDevice(L"\\Device\\CdRom30", 15, ours, Chars(ours)));
    EXPECT_FALSE(NamesDevice(L"\\Device\\CdRom", 13, ours, Chars(ours)));
    EXPECT_FALSE(NamesDevice(L"\\Device\\CdRom3", 14, ours, 0)); // an unnamed device
}

} // namespace
} // namespace vostrale::nt
