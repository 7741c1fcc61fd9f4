// Seeds: small language files with and without a message table, sections and end marker.
#include "tests/app/language_writer.h"

#include <fstream>
#include <string>

int main(int argc, char** argv) {
    using namespace vostrale::app::test;
    if (argc < 2)
        return 1;
    LngContents full;
    full.messages = {L"Mount", L"Unmount", L"", L"", L"Drive %1", L"%2 on %1"};
    full.sections = {{100, 1, {L"About", L"OK", L"", L"Feedback"}},
                     {102, 0, {L"Progress", L"", L"", L"Indexing %1", L"%1%% %2"}}};
    LngContents bare = full;
    bare.hasMessages = false;
    bare.endMarker = false;
    LngContents empty;
    empty.hasMessages = false;
    const LngContents* seeds[] = {&full, &bare, &empty};
    for (int i = 0; i < 3; ++i) {
        std::vector<uint8_t> bytes = WriteLng(*seeds[i]);
        std::ofstream out(std::string(argv[1]) + "/language_" + std::to_string(i) + ".lng",
                          std::ios::binary);
        out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    }
    return 0;
}
