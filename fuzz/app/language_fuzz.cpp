// Language files over arbitrary bytes: the parser, the loaded table's lookups and the insert
// expansion of every translated pattern.
#include "app/language.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace vostrale::app;
    LanguageTable table;
    if (!table.LoadBytes(data, size))
        return 0;
    for (uint32_t id = 0; id < 40; ++id) {
        (void)table.Format(id, {L"E", L"C:\\image.iso"});
        wchar_t buffer[8] = {};
        table.CopyMessage(id, buffer, 8);
    }
    std::wstring builtin = L"%1%% done, %2 s";
    for (uint16_t dialog : {uint16_t(0), uint16_t(kDialogAbout), uint16_t(kDialogProgress)}) {
        (void)table.DialogCaption(dialog);
        for (uint32_t control = 0; control < 64; ++control)
            (void)ExpandInserts(table.ControlText(dialog, control, &builtin), {L"1", L"2"});
    }
    std::wstring caption;
    for (size_t position = 0; table.CaptionByPosition(position, &caption); ++position) {
    }
    return 0;
}
