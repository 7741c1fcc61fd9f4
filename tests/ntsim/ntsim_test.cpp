// The shipped driver under the kernel model: loading, the port's calls, the control door and
// the model's own checks.
#include "tests/ntsim/driver_fixture.h"

#include <fstream>
#include <set>

namespace ntsim::test {
namespace {

TEST(KernelModel, ImplementsEveryListedImport) {
    // The import list is what the package check holds the binary to; the model must bind all
    // of it, so a routine added to the driver without a model fails here first.
    std::ifstream in(std::string(VOSTRALE_SOURCE_DIR) + "/driver/nt/imports.txt");
    ASSERT_TRUE(in) << "imports.txt";
    std::set<std::string> implemented;
    for (const std::string& n : ImplementedRoutines())
        implemented.insert(n);
    std::string line;
    int listed = 0;
    while (std::getline(in, line)) {
        std::string name = line.substr(0, line.find('#'));
        name.erase(0, name.find_first_not_of(" \t"));
        name.erase(name.find_last_not_of(" \t\r") + 1);
        if (name.empty())
            continue;
        ++listed;
        EXPECT_TRUE(implemented.count(name)) << name << " has no model";
    }
    EXPECT_GT(listed, 40);
}

TEST(KernelModel, RefusesAnImageWithAnImportItLacks) {
    // The loader binds by name and names what it cannot bind.
    LoadedImage image;
    std::string error;
    bool loaded = MapKernelImage(
        DriverImage(),
        [](const std::string& dll, const std::string& name) -> void* {
            return name == "KeSetEvent" ? nullptr : ResolveImport(dll, name);
        },
        &image, &error);
    EXPECT_FALSE(loaded);
    EXPECT_NE(error.find("ntoskrnl.exe!KeSetEvent"), std::string::npos) << error;
}

TEST(KernelModel, ReportsEachBrokenRuleOfALoadedMiniport) {
    // A miniport built to break one rule per opcode: each break must surface as a violation
    // naming the routine, and a block it never frees in the leak report.
    ClearViolations();
    std::string error;
    ASSERT_TRUE(port::Load(VOSTRALE_BROKEN_IMAGE, &error)) << error;
    ASSERT_TRUE(port::StartAdapter(&error)) << error;
    EXPECT_EQ(Violations(), std::vector<std::string>());
    struct Case {
        uint8_t opcode;
        const char* expected;
    } cases[] = {
        {0x01, "ExAllocatePoolWithTag: called at DISPATCH_LEVEL, allowed up to APC_LEVEL"},
        {0x02, "StorPortNotification: completes a request that is not outstanding"},
        {0x03, "KeWaitForSingleObject: called at DISPATCH_LEVEL, allowed up to APC_LEVEL"},
        {0x04, "ExReleaseRundownProtection: released more often than acquired"},
        {0x06, "ExFreePoolWithTag: frees a block that is not an allocated pool block"},
    };
    for (const Case& c : cases) {
        ClearViolations();
        port::Scsi(0, {c.opcode, 0, 0, 0, 0, 0}, 0);
        std::string all = Joined(Violations());
        EXPECT_NE(all.find(c.expected), std::string::npos)
            << "opcode " << int(c.opcode) << " gave: " << all;
    }
    ClearViolations();
    port::Scsi(0, {0x00, 0, 0, 0, 0, 0}, 0); // a rule-abiding request adds nothing
    EXPECT_EQ(Violations(), std::vector<std::string>());
    port::Scsi(0, {0x05, 0, 0, 0, 0, 0}, 0);
    std::string leaks = port::Unload();
    EXPECT_NE(leaks.find("pool tag Brk! non-paged: 1 blocks, 32 bytes"), std::string::npos)
        << leaks;
    ClearViolations();
}

TEST(KernelModel, ThreadThatCannotBeReferencedEndsBeforeDiscoveryReturns) {
    // The only worker's thread object cannot be referenced: the adapter is not found, and by
    // then the thread, which runs the driver's code, has ended.
    ClearViolations();
    SetRegistryDword(kServiceKey, L"NumberOfDrives", std::nullopt);
    std::string error;
    ASSERT_TRUE(port::Load(DriverImage(), &error)) << error;
    FailThreadReferences(1);
    EXPECT_FALSE(port::StartAdapter(&error));
    EXPECT_EQ(Account().runningThreads, 0u);
    FailThreadReferences(0);
    EXPECT_EQ(port::Unload(), "");
    EXPECT_EQ(Violations(), std::vector<std::string>());
    ClearViolations();
}

TEST_F(DriverTest, StartsAndAnswersBothDoors) {
    // Ping through the private request, from a user process.
    Bytes ping = ControlBuffer(vostrale::kCtlPing, 0);
    ControlResult c = Control(ping);
    EXPECT_EQ(c.status, 0);
    EXPECT_EQ(c.bytes, 16u);
    // A request of another code goes on to the port's own routine, untouched.
    uint64_t passed = PortDispatchCalls();
    Bytes other = ping;
    ControlResult o = port::DeviceControl(Sender(), 0x2D1400, &other, 16);
    EXPECT_EQ(uint32_t(o.status), 0xC0000010u);
    EXPECT_EQ(PortDispatchCalls(), passed + 1);
    // INQUIRY on drive 0.
    ScsiResult inquiry = port::Scsi(0, {0x12, 0, 0, 0, 96, 0}, 96);
    ASSERT_EQ(inquiry.srbStatus, port::kSrbStatusSuccess);
    ASSERT_GE(inquiry.data.size(), 32u);
    EXPECT_EQ(inquiry.data[0] & 0x1F, 5); // CD/DVD device
    EXPECT_EQ(std::string(inquiry.data.begin() + 8, inquiry.data.begin() + 16), "Melkorin");
    // No drive behind target 3.
    ScsiResult none = port::Scsi(3, {0x00, 0, 0, 0, 0, 0}, 0);
    EXPECT_NE(none.srbStatus & 0x3F, port::kSrbStatusSuccess);
    // Access rules on the adapter: system and administrators full, users read.
    std::vector<std::pair<uint32_t, std::string>> expected = {
        {0xC0010000, "S-1-5-18"}, {0xC0010000, "S-1-5-32-544"}, {0x80000000, "S-1-5-32-545"}};
    EXPECT_EQ(AdapterDacl(), expected);
    // The driver's CR8 reads reached the model.
    EXPECT_GT(host::TrappedAccesses(), 0u);
}

} // namespace
} // namespace ntsim::test
