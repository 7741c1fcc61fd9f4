#include "app/system_report.h"
#include "tests/crash_report/report_fakes.h"

#include <gtest/gtest.h>

#include <clocale>

namespace vostrale::app {
namespace {

using test::FakeMachineFacts;
using test::FakeMachineRegistry;
using test::Sz;

const std::wstring kUninstall = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall";
const std::wstring kCpu = L"HARDWARE\\DESCRIPTION\\System\\CentralProcessor\\0";

void AddProgram(FakeMachineRegistry* r, RegistryView view, const std::wstring& name,
                std::map<std::wstring, test::FakeValue> values) {
    r->keys[{int(view), kUninstall}].push_back(name);
    for (auto& [k, v] : values)
        r->values[{int(view), kUninstall + L"\\" + name, k}] = v;
}

TEST(RegistryString, ReadsOnlyStringTypesAndTerminatesItself) {
    FakeMachineRegistry r;
    auto set = [&](const std::wstring& name, test::FakeValue v) {
        r.values[{int(RegistryView::Default), L"k", name}] = v;
    };
    set(L"plain", Sz(L"abc"));
    set(L"unterminated", Sz(L"abcd", false));
    test::FakeValue binary = Sz(L"xy");
    binary.type = 3;
    set(L"binary", binary);
    test::FakeValue expand = Sz(L"%x%");
    expand.type = 2;
    set(L"expand", expand);
    test::FakeValue odd = Sz(L"ab", false);
    odd.data.push_back('c'); // an odd byte count: the half unit is dropped
    set(L"odd", odd);
    set(L"long", Sz(std::wstring(20, L'x')));
    struct Case {
        const wchar_t* name;
        bool ok;
        std::wstring text;
    } cases[] = {{L"plain", true, L"abc"},   {L"unterminated", true, L"abcd"},
                 {L"binary", false, L""},   {L"expand", true, L"%x%"},
                 {L"odd", true, L"ab"},     {L"long", false, L""},
                 {L"missing", false, L""}};
    for (const Case& c : cases) {
        std::wstring out = L"junk";
        EXPECT_EQ(ReadRegistryString(&r, L"k", RegistryView::Default, c.name, 16, &out), c.ok) << c.name;
        EXPECT_EQ(out, c.text) << c.name;
    }
}

TEST(LogicalDrives, GrowsTheBufferToWhatTheCallAsksFor) {
    FakeMachineFacts f;
    for (wchar_t c = L'A'; c <= L'Z'; ++c)
        f.driveList += std::wstring{c, L':', L'\\', 0};
    EXPECT_EQ(LogicalDrives(&f).size(), 26u);
    EXPECT_EQ(f.driveListSizes, (std::vector<uint32_t>{105}));
    f.driveList += std::wstring(L"\\\\?\\Volume{1}\\") + L'\0'; // a mounted-folder entry
    f.driveListSizes.clear();
    std::vector<std::wstring> roots = LogicalDrives(&f);
    ASSERT_EQ(roots.size(), 27u);
    EXPECT_EQ(roots[26], L"\\\\?\\Volume{1}\\");
    EXPECT_EQ(f.driveListSizes.size(), 2u);
}

TEST(SystemDocument, ListsSoftwareHardwareAndFixedDisks) {
    FakeMachineRegistry r;
    FakeMachineFacts f;
    AddProgram(&r, RegistryView::Bits64, L"{A}", {{L"DisplayName", Sz(L"Tom & Jerry")},
                                                 {L"UninstallString", Sz(L"x")},
                                                 {L"DisplayVersion", Sz(L"1.2")},
                                                 {L"InstallLocation", Sz(L"C:\\TJ")}});
    AddProgram(&r, RegistryView::Bits64, L"KB123", {{L"", Sz(L"KB123")},
                                                   {L"DisplayName", Sz(L"Update")},
                                                   {L"UninstallString", Sz(L"x")}});
    AddProgram(&r, RegistryView::Bits64, L"NoUninstall", {{L"DisplayName", Sz(L"N")}});
    AddProgram(&r, RegistryView::Bits64, L"Cdf", {{L"DisplayName", Sz(L"C")},
                                                 {L"UninstallString", Sz(L"x")},
                                                 {L"AuthorizedCDFPrefix", Sz(L"")}});
    AddProgram(&r, RegistryView::Bits32, L"\x4E2D" L"\xD83D\xDE00",
               {{L"DisplayName", Sz(L"Wide\x0001")}, {L"UninstallString", Sz(L"x")}});
    r.values[{int(RegistryView::Default), kCpu, L"Identifier"}] = Sz(L"Intel64 Family 6");
    f.driveList = std::wstring(L"C:\\") + L'\0' + L"D:\\" + L'\0' + L"R:\\" + L'\0';
    f.types = {{L"C:\\", kDriveFixed}, {L"D:\\", 5}, {L"R:\\", kDriveRamDisk}};
    f.volumes[L"C:\\"] = {L"System", L"NTFS"};
    f.space[L"C:\\"] = {100ull << 30, (25ull << 30) + (1ull << 29)};
    // Numbers are formatted the same whatever the C library's locale says.
    const char* old = std::setlocale(LC_NUMERIC, "de_DE.UTF-8");
    XmlDocument doc;
    BuildSystemDocument(&doc, &r, &f);
    std::string xml = doc.Serialise();
    if (old)
        std::setlocale(LC_NUMERIC, "C");
    EXPECT_EQ(xml,
              "\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n"
              "<crashrpt>\r\n"
              "\t<software_info systemlcid=\"1033\" userlcid=\"1031\">\r\n"
              "\t\t<software description=\"Tom &amp; Jerry\" version=\"1.2\" location=\"C:\\TJ\">{A}</software>\r\n"
              "\t\t<software description=\"Wide\xEF\xBF\xBD\" version=\"\" location=\"\">"
              "\xE4\xB8\xAD\xF0\x9F\x98\x80</software>\r\n"
              "\t</software_info>\r\n"
              "\t<hardware_info>\r\n"
              "\t\t<cpu number=\"8\">Intel64 Family 6</cpu>\r\n"
              "\t\t<memory size=\"8192.0 MB\" available=\"3584.0 MB\"></memory>\r\n"
              "\t</hardware_info>\r\n"
              "\t<disk_info>\r\n"
              "\t\t<item name=\"System\" filesystem=\"NTFS\" size=\"100.00 GB\" available=\"25.50 GB\">C:\\</item>\r\n"
              "\t\t<item>R:\\</item>\r\n"
              "\t</disk_info>\r\n"
              "</crashrpt>\r\n");
    EXPECT_EQ(r.enumeratedViews, (std::vector<int>{int(RegistryView::Bits64), int(RegistryView::Bits32)}));
}

TEST(SystemDocument, ReadsTheUninstallKeyOnceWithoutA64BitViewAndLeavesOutWhatFails) {
    FakeMachineRegistry r;
    FakeMachineFacts f;
    f.wow64 = false;
    f.environment.clear();
    AddProgram(&r, RegistryView::Default, L"{B}", {{L"DisplayName", Sz(L"B")}, {L"UninstallString", Sz(L"x")}});
    r.keys[{int(RegistryView::Bits32), kUninstall}] = {L"{never}"};
    r.values[{int(RegistryView::Default), kCpu, L"ProcessorNameString"}] = Sz(L"Fast CPU");
    r.values[{int(RegistryView::Default), kCpu, L"Identifier"}] = Sz(L"Slow");
    XmlDocument doc;
    BuildSystemDocument(&doc, &r, &f);
    std::string xml = doc.Serialise();
    EXPECT_NE(xml.find(">{B}</software>"), std::string::npos);
    EXPECT_EQ(xml.find("never"), std::string::npos);
    EXPECT_NE(xml.find("<cpu>Fast CPU</cpu>"), std::string::npos); // no count: no attribute
    EXPECT_NE(xml.find("\t<disk_info></disk_info>\r\n"), std::string::npos);
    EXPECT_EQ(r.enumeratedViews, (std::vector<int>{int(RegistryView::Default)}));
}

} // namespace
} // namespace vostrale::app
