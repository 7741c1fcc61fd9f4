// A CCD description through the INI reader, and the layout built from it (no .img).
#include "formats/ccd.h"
#include "formats/layout.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    vostrale::IniFile ini;
    ini.Load(reinterpret_cast<const char*>(data), size);
    vostrale::CcdDisc disc;
    if (!vostrale::ParseCcdDescription(ini, &disc))
        return 0;
    vostrale::MountRecord record{};
    vostrale::BuildCcdLayout(&disc, 0, &record);
    vostrale::ReleaseLayout(&record);
    return 0;
}
