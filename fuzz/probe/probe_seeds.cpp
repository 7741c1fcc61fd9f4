// Writes seed images for the probe fuzzer into the folder given as argv[1]: each partition
// kind, a bridge, DVD-Video and HD DVD roots, 16-bit names, deleted entries and continuation
// extents.
#include "tests/probe/udf_writer.h"

#include <cstdio>
#include <cstring>
#include <string>

using namespace vostrale::testing;

namespace {

void Save(const std::string& folder, const char* name, const std::vector<uint8_t>& image) {
    std::string path = folder + "/" + name;
    FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr)
        return;
    std::fwrite(image.data(), 1, image.size(), f);
    std::fclose(f);
}

std::vector<uint8_t> Sample(const UdfWriterOptions& options, bool hd) {
    UdfImageWriter w(options);
    std::vector<uint8_t> ifo(64, 0);
    std::memcpy(ifo.data(), "DVDVIDEO-VMG", 12);
    ifo[35] = 0xFE;
    if (hd)
        w.AddFolder(0, "HVDVD_TS");
    int video = w.AddFolder(0, "VIDEO_TS");
    w.Tweak(video).utf16 = true;
    w.AddFile(video, "VIDEO_TS.IFO", ifo);
    w.Tweak(w.AddFolder(0, "GONE")).deleted = true;
    int big = w.AddFile(0, "big", std::vector<uint8_t>(9000, 1));
    w.Tweak(big).extentPieces = 5;
    w.Tweak(big).piecesPerBlock = 2;
    int loop = w.AddFolder(0, "LOOP");
    w.Tweak(w.AddFolder(loop, "up")).linkTo = loop;
    return w.Build();
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2)
        return 1;
    std::string folder = argv[1];
    Save(folder, "physical", Sample({}, false));
    Save(folder, "nsr02", Sample({.nsr03 = false}, true));
    Save(folder, "bridge-efe", Sample({.isoBridge = true, .extendedEntries = true}, true));
    Save(folder, "metadata",
         Sample({.partition = UdfPartition::Metadata, .splitMetadata = true}, true));
    Save(folder, "virtual",
         Sample({.partition = UdfPartition::Virtual, .sectorsAfterVat = 1}, false));
    Save(folder, "virtual-first",
         Sample({.partition = UdfPartition::Virtual, .type2MapFirst = true}, true));
    return 0;
}
