#include "app/associations.h"

#include "app/text.h"
#include "tests/app/fakes.h"

#include <gtest/gtest.h>

#include <optional>

namespace vostrale::app::test {
namespace {

const std::wstring kClasses = L"Software\\Classes\\";

void SetMachineString(FakeRegistry* r, const std::wstring& key, const std::wstring& name,
                      const std::wstring& text) {
    std::vector<uint8_t> bytes = Utf16Bytes(text, true);
    r->SetValue(RegistryRoot::LocalMachine, key, name, kRegSz, bytes.data(),
                uint32_t(bytes.size()));
}

std::optional<std::wstring> MachineString(FakeRegistry* r, const std::wstring& key,
                                          const std::wstring& name) {
    uint8_t data[70000];
    uint32_t type = 0, size = sizeof(data);
    if (r->QueryValue(RegistryRoot::LocalMachine, key, name, &type, data, &size) != 0)
        return std::nullopt;
    return FromUtf16Bytes(data, size);
}

std::optional<std::wstring> ClassOf(FakeRegistry* r, const std::wstring& ext) {
    return MachineString(r, kClasses + ext, L"");
}

std::optional<std::wstring> BackupOf(FakeRegistry* r, const std::wstring& ext) {
    return MachineString(r, kAssociationBackupKey, ext);
}

TEST(Associations, OfferedExtensionsAreExactMatchesOnly) {
    EXPECT_EQ(OfferedExtensions(),
              (std::vector<std::wstring>{L".ccd", L".cue", L".iso", L".isz", L".mds", L".nrg"}));
    for (const wchar_t* yes : {L".iso", L".ISO", L".Nrg"})
        EXPECT_TRUE(IsOfferedExtension(yes)) << yes;
    for (const wchar_t* no : {L"iso", L".iso ", L".exe", L".is", L".isoo", L"", L"*.iso"})
        EXPECT_FALSE(IsOfferedExtension(no)) << no;
}

// The state machine: the current class of the extension (ours, another, empty or missing)
// × on/off × the backup (absent, present, stale), and whether the backed-up class still exists.
struct StateCase {
    const char* name;
    std::optional<std::wstring> current; // nullopt: no value
    std::optional<std::wstring> backup;
    bool backedUpClassExists;
    bool on;
    AssociationResult result;
    std::optional<std::wstring> expectedCurrent;
    std::optional<std::wstring> expectedBackup;
};

const StateCase kStateCases[] = {
    {"OnOtherSavesIt", L"isofile", std::nullopt, true, true, AssociationResult::Done,
     L"Vostrale", L"isofile"},
    {"OnOtherReplacesOldBackup", L"isofile", L"older", true, true, AssociationResult::Done,
     L"Vostrale", L"isofile"},
    {"OnEmptyDropsStaleBackup", L"", L"older", true, true, AssociationResult::Done, L"Vostrale",
     std::nullopt},
    {"OnMissingDropsStaleBackup", std::nullopt, L"older", true, true, AssociationResult::Done,
     L"Vostrale", std::nullopt},
    {"OnOursKeepsBackup", L"vostrale", L"isofile", true, true, AssociationResult::Done,
     L"Vostrale", L"isofile"},
    {"OffOursRestoresAndDropsBackup", L"Vostrale", L"isofile", true, false,
     AssociationResult::Done, L"isofile", std::nullopt},
    {"OffOursWithoutBackupLeavesEmpty", L"Vostrale", std::nullopt, true, false,
     AssociationResult::Done, L"", std::nullopt},
    {"OffOursBackupOfVanishedClass", L"Vostrale", L"gone", false, false, AssociationResult::Done,
     L"", std::nullopt},
    {"OffOtherLeavesAll", L"otherapp", L"isofile", true, false, AssociationResult::Unchanged,
     L"otherapp", L"isofile"},
    {"OffEmptyLeavesAll", L"", std::nullopt, true, false, AssociationResult::Unchanged, L"",
     std::nullopt},
};

TEST(Associations, StateMachine) {
    for (const StateCase& c : kStateCases) {
        SCOPED_TRACE(c.name);
        FakeRegistry r;
        if (c.current)
            SetMachineString(&r, kClasses + L".iso", L"", *c.current);
        if (c.backup) {
            SetMachineString(&r, kAssociationBackupKey, L".iso", *c.backup);
            if (c.backedUpClassExists)
                SetMachineString(&r, kClasses + *c.backup, L"", L"A class");
        }
        EXPECT_EQ(SetAssociation(&r, L"iso", c.on), c.result); // the dot is added
        EXPECT_EQ(ClassOf(&r, L".iso"), c.expectedCurrent);
        EXPECT_EQ(BackupOf(&r, L".iso"), c.expectedBackup);
        // Nothing is written through the merged view or into the user's hive.
        for (const auto& entry : r.values)
            EXPECT_EQ(std::get<0>(entry.first), RegistryRoot::LocalMachine);
    }
}

TEST(Associations, ClassNamesAreReadAtTheirRealLength) {
    FakeRegistry r;
    std::wstring longName(300, L'c'); // 602 bytes with the terminator
    SetMachineString(&r, kClasses + L".cue", L"", longName);
    SetMachineString(&r, kClasses + longName, L"", L"A class");
    ASSERT_EQ(SetAssociation(&r, L".cue", true), AssociationResult::Done);
    EXPECT_EQ(BackupOf(&r, L".cue"), longName);
    ASSERT_EQ(SetAssociation(&r, L".cue", false), AssociationResult::Done);
    EXPECT_EQ(ClassOf(&r, L".cue"), longName);
}

TEST(Associations, UnreadableOwnerIsNeverTakenOver) {
    FakeRegistry r;
    uint8_t binary[] = {1, 2, 3, 4};
    r.SetValue(RegistryRoot::LocalMachine, kClasses + L".mds", L"", kRegBinary, binary, 4);
    EXPECT_EQ(SetAssociation(&r, L".mds", true), AssociationResult::Refused);
    std::wstring huge(kMaxClassNameChars + 10, L'h');
    SetMachineString(&r, kClasses + L".nrg", L"", huge);
    EXPECT_EQ(SetAssociation(&r, L".nrg", true), AssociationResult::Refused);
    EXPECT_EQ(ClassOf(&r, L".nrg"), huge);
    EXPECT_FALSE(BackupOf(&r, L".nrg"));
    EXPECT_EQ(SetAssociation(&r, std::wstring(259, L'x'), true), AssociationResult::Refused);
    EXPECT_EQ(SetAssociation(&r, L"", true), AssociationResult::Refused);
}

TEST(Associations, DocumentClassAndReleaseAll) {
    FakeRegistry r;
    FakeSystem system;
    RegisterDocumentClass(&r, &system, true);
    EXPECT_EQ(MachineString(&r, kClasses + L"Vostrale\\shell\\open\\command", L""),
              L"\"C:\\Program Files\\Vostrale\\vostrale.exe\" /M:0 \"%1\"");
    EXPECT_EQ(MachineString(&r, kClasses + L"Vostrale\\DefaultIcon", L""),
              L"C:\\Program Files\\Vostrale\\vostrale.exe,1");
    EXPECT_TRUE(MachineString(&r, kClasses + L"Vostrale", L"FriendlyTypeName"));
    EXPECT_EQ(MachineString(&r, kRegisteredApplicationsKey, L"Vostrale"), kCapabilitiesKey);

    SetMachineString(&r, kClasses + L".iso", L"", L"isofile");
    SetMachineString(&r, kClasses + L"isofile", L"", L"Disc image");
    SetMachineString(&r, kClasses + L".ccd", L"", L"otherapp");
    ASSERT_EQ(SetAssociation(&r, L".iso", true), AssociationResult::Done);
    ASSERT_EQ(SetAssociation(&r, L".cue", true), AssociationResult::Done);
    EXPECT_EQ(MachineString(&r, std::wstring(kCapabilitiesKey) + L"\\FileAssociations", L".iso"),
              L"Vostrale");
    EXPECT_TRUE(r.values.count({RegistryRoot::LocalMachine,
                                L"software\\classes\\.iso\\openwithprogids", L"vostrale"}));
    ReleaseAllAssociations(&r);
    EXPECT_EQ(ClassOf(&r, L".iso"), L"isofile");
    EXPECT_EQ(ClassOf(&r, L".cue"), L"");
    EXPECT_EQ(ClassOf(&r, L".ccd"), L"otherapp");
    EXPECT_FALSE(r.values.count({RegistryRoot::LocalMachine,
                                 L"software\\classes\\.iso\\openwithprogids", L"vostrale"}));
    RemoveDocumentClass(&r);
    EXPECT_FALSE(r.KeyExists(RegistryRoot::LocalMachine, kClasses + L"Vostrale\\shell\\open\\command"));
    EXPECT_FALSE(MachineString(&r, kRegisteredApplicationsKey, L"Vostrale"));
}

// Driver install associates .iso; uninstall gives back every extension and removes the class.
TEST(Associations, InstallAndUninstallSteps) {
    struct CountingShell final : AssociationShell {
        void ClearUserChoice(const std::wstring&) override {}
        void NotifyAssociationsChanged() override { ++notified; }
        int notified = 0;
    } shell;
    FakeRegistry r;
    FakeSystem system;
    SetMachineString(&r, kClasses + L".iso", L"", L"isofile");
    SetMachineString(&r, kClasses + L"isofile", L"", L"Disc image");
    ProgramAssociationSteps steps(&r, &system, &shell);
    steps.RegisterForInstall();
    EXPECT_EQ(ClassOf(&r, L".iso"), L"Vostrale");
    EXPECT_TRUE(r.KeyExists(RegistryRoot::LocalMachine, kClasses + L"Vostrale\\shell\\open\\command"));
    EXPECT_EQ(shell.notified, 1);
    ASSERT_EQ(SetAssociation(&r, L".nrg", true), AssociationResult::Done);
    steps.ReleaseForUninstall();
    EXPECT_EQ(ClassOf(&r, L".iso"), L"isofile");
    EXPECT_EQ(ClassOf(&r, L".nrg"), L"");
    EXPECT_FALSE(r.KeyExists(RegistryRoot::LocalMachine, kClasses + L"Vostrale\\shell\\open\\command"));
    EXPECT_EQ(shell.notified, 2);
}

TEST(ChangeFile, FormatAndParse) {
    std::vector<AssociationChange> changes = {{L".iso", true}, {L".NRG", false}, {L".exe", true}};
    std::string text = FormatChangeFile(changes);
    EXPECT_EQ(text, ".iso=1\n.nrg=0\n");
    auto back = ParseChangeFile(text);
    ASSERT_EQ(back.size(), 2u);
    EXPECT_EQ(back[0].extension, L".iso");
    EXPECT_TRUE(back[0].on);
    EXPECT_EQ(back[1].extension, L".nrg");
    EXPECT_FALSE(back[1].on);
}

struct ParseCase {
    const char* name;
    std::string text;
    std::string expected; // "<ext>=<0|1>;" per change
};

std::string Flatten(const std::vector<AssociationChange>& changes) {
    std::string out;
    for (const AssociationChange& c : changes) {
        for (wchar_t ch : c.extension)
            out.push_back(char(ch));
        out += c.on ? "=1;" : "=0;";
    }
    return out;
}

TEST(ChangeFile, ParseRules) {
    const ParseCase cases[] = {
        {"FlagOnUnlessZero", ".nrg=0\n.iso=1\n.cue=x\n.ccd=\n", ".nrg=0;.iso=1;.cue=1;.ccd=1;"},
        {"CaseFoldedToTheOfferedName", ".ISO=1\n", ".iso=1;"},
        {"SplitAtFirstEquals", ".iso=0=1\n", ".iso=0;"},
        {"CrLf", ".iso=0\r\n.mds=1\r\n", ".iso=0;.mds=1;"},
        {"OnlyOfferedExtensions", ".exe=1\n.iso.exe=1\n iso=1\n.iso =1\n.isz=1\n", ".isz=1;"},
        {"LineWithoutEqualsEndsReading", ".iso=1\njunk\n.nrg=1\n", ".iso=1;"},
        {"NoFinalNewline", ".cue=0", ".cue=0;"},
        {"OverlongLineDroppedWhole", ".iso=1" + std::string(130, ' ') + "\n.nrg=1\n", ".nrg=1;"},
        {"LongestLineKept", ".iso=0" + std::string(121, ' ') + "\n", ".iso=0;"},
        {"EightBitBytes", "\xE9.iso=1\n.iso=1\n", ".iso=1;"},
        {"Empty", "", ""},
    };
    for (const ParseCase& c : cases)
        EXPECT_EQ(Flatten(ParseChangeFile(c.text)), c.expected) << c.name;
    // Bytes past the file limit are not read.
    std::string big(kMaxChangeFileBytes - 3, '\n');
    EXPECT_EQ(Flatten(ParseChangeFile(big + ".iso=1\n")), "");
}

class RecordingShell final : public AssociationShell {
  public:
    void ClearUserChoice(const std::wstring& extension) override { cleared.push_back(extension); }
    void NotifyAssociationsChanged() override { ++notified; }
    std::vector<std::wstring> cleared;
    int notified = 0;
};

TEST(ChangeFile, ApplyRegistersTheClassAndEachChange) {
    FakeRegistry r;
    FakeSystem system;
    RecordingShell shell;
    SetMachineString(&r, kClasses + L".nrg", L"", L"Vostrale");
    ApplyAssociationChanges(&r, &system, &shell, ParseChangeFile(".iso=1\n.nrg=0\n.exe=1\n"));
    EXPECT_EQ(ClassOf(&r, L".iso"), L"Vostrale");
    EXPECT_EQ(ClassOf(&r, L".nrg"), L"");
    EXPECT_FALSE(ClassOf(&r, L".exe"));
    EXPECT_TRUE(MachineString(&r, kClasses + L"Vostrale\\shell\\open\\command", L""));
    EXPECT_FALSE(MachineString(&r, kClasses + L"Vostrale\\DefaultIcon", L""));
    EXPECT_EQ(shell.cleared, (std::vector<std::wstring>{L".iso", L".nrg"}));
    EXPECT_EQ(shell.notified, 1);
}

} // namespace
} // namespace vostrale::app::test
