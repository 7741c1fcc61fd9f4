// Seeds for the control fuzzer: each request code, and mount records of several kinds whose
// pointers are offsets into the seed itself.
#include "common/bytes.h"
#include "common/disc.h"
#include "common/wire.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

using namespace vostrale;

namespace {

void Save(const std::string& dir, const std::string& name, const std::vector<uint8_t>& bytes) {
    FILE* f = std::fopen((dir + "/" + name).c_str(), "wb");
    if (!f)
        return;
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
}

std::vector<uint8_t> Header(uint32_t code, uint32_t value, uint32_t body) {
    std::vector<uint8_t> b(16 + body, 0);
    StoreLe32(b.data(), kControlMagic);
    StoreLe32(b.data() + 4, code);
    StoreLe32(b.data() + 8, body);
    StoreLe32(b.data() + 12, value);
    return b;
}

void AppendCdb(std::vector<uint8_t>* b, std::vector<uint8_t> cdb, uint16_t length) {
    cdb.resize(12, 0);
    b->insert(b->end(), cdb.begin(), cdb.end());
    b->push_back(uint8_t(length));
    b->push_back(uint8_t(length >> 8));
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2)
        return 1;
    std::string dir = argv[1];
    for (uint32_t code = 0; code <= 10; ++code)
        Save(dir, "code" + std::to_string(code),
             Header(code, 0,
                    code == 3 || code == 4    ? 8
                    : code == 1 || code == 10 ? 4
                                              : 0));

    // Mount with a track table, a full TOC and reads after it. The request occupies the first
    // 144 bytes (record plus 16 spare), then 4 CDBs, then the blocks the record points to.
    for (uint8_t reader : {kReaderPlainFile, kReaderNrg, kReaderCcd, kReaderWav, kReaderFileList,
                           kReaderIsz, kReaderFlac}) {
        std::vector<uint8_t> b = Header(kCtlMount, 0, 112 + 16);
        AppendCdb(&b, {0x00}, 0);
        AppendCdb(&b, {0x28, 0, 0, 0, 0, 2, 0, 0, 2}, 4096);
        AppendCdb(&b, {0xBE, 0, 0, 0, 0, 1, 0, 0, 2, 0xF8, 1}, 2 * 2448);
        AppendCdb(&b, {0x43, 2, 2, 0, 0, 0, 0, 0x10, 0}, 4096);
        uint32_t tableAt = uint32_t(b.size());
        std::vector<uint8_t> table(4 + 2 * 24, 0);
        StoreLe16(table.data(), 2);
        uint8_t* e = table.data() + 4;
        e[0] = kSectorMode1;
        e[1] = 0x0F;
        StoreLe32(e + 4, 0);
        StoreLe32(e + 8, 16);
        StoreLe32(e + 12, 2352);
        e += 24;
        e[0] = kSectorCdda;
        StoreLe32(e + 4, 16);
        StoreLe32(e + 8, 48);
        StoreLe32(e + 12, 2352);
        StoreLe64(e + 16, 16 * 2352);
        b.insert(b.end(), table.begin(), table.end());
        uint32_t tocAt = uint32_t(b.size());
        std::vector<uint8_t> toc(FullTocSize(5));
        uint32_t starts[2] = {0, 16};
        WriteSingleSessionToc(starts, 2, 48, 0x14, 0, toc.data());
        b.insert(b.end(), toc.begin(), toc.end());
        uint32_t kindAt = uint32_t(b.size());
        std::vector<uint8_t> kind(64, 0);
        b.insert(b.end(), kind.begin(), kind.end());

        MountRecord r{};
        r.imageHandle = 1; // odd: the sample image
        r.bytesPerSector = 2352;
        r.mediumKind = kMediumCd;
        r.readerKind = reader;
        r.sessions = 1;
        r.totalSectors = 48;
        r.trackTable = tableAt;
        r.fullToc = tocAt;
        r.kindPointer = reader == kReaderCcd ? 1 : kindAt;
        r.kindCount = 2;
        r.param80 = 2352 * 8;
        r.param84 = 32;
        r.param88 = 1;
        r.param96 = 1152;
        std::memcpy(b.data() + 16, &r, sizeof(r));
        Save(dir, "mount" + std::to_string(reader), b);
    }

    // A multi-file disc: two files (both the sample image), the second run in file 1, and an
    // identity block with a catalogue number and an ISRC.
    {
        std::vector<uint8_t> b = Header(kCtlMount, 0, 112 + 16);
        AppendCdb(&b, {0x00}, 0);
        AppendCdb(&b, {0xBE, 0, 0, 0, 0, 14, 0, 0, 4, 0xF8, 0}, 4 * 2352);
        AppendCdb(&b, {0x28, 0, 0, 0, 0, 2, 0, 0, 2}, 4096);
        AppendCdb(&b, {0x42, 2, 0x40, 1, 0, 0, 0, 0, 16}, 16);
        uint32_t tableAt = uint32_t(b.size());
        std::vector<uint8_t> table(4 + 2 * 24, 0);
        StoreLe16(table.data(), 2);
        uint8_t* e = table.data() + 4;
        e[0] = kSectorMode1;
        e[1] = 0x0B;
        StoreLe32(e + 8, 16);
        StoreLe32(e + 12, 2352);
        e += 24;
        e[0] = kSectorCdda;
        e[2] = 1; // file 1
        StoreLe32(e + 4, 16);
        StoreLe32(e + 8, 48);
        StoreLe32(e + 12, 2352);
        b.insert(b.end(), table.begin(), table.end());
        uint32_t filesAt = uint32_t(b.size());
        std::vector<uint8_t> files(2 * sizeof(DiscFileEntry), 0);
        for (int i = 0; i < 2; ++i) {
            files[i * sizeof(DiscFileEntry)] = 1; // odd: the sample image
            files[i * sizeof(DiscFileEntry) + 8] = kDiscFileRaw;
        }
        b.insert(b.end(), files.begin(), files.end());
        uint32_t identityAt = uint32_t(b.size());
        std::vector<uint8_t> identity(sizeof(DiscIdentity), 0);
        std::memcpy(identity.data(), "0000010271955", 13);
        std::memcpy(identity.data() + 16 + 12, "USABC1234567", 12);
        b.insert(b.end(), identity.begin(), identity.end());

        MountRecord r{};
        r.discIdentity = identityAt;
        r.imageHandle = 1;
        r.bytesPerSector = 2352;
        r.mediumKind = kMediumCd;
        r.readerKind = kReaderMultiFile;
        r.sessions = 1;
        r.totalSectors = 48;
        r.trackTable = tableAt;
        r.kindPointer = filesAt;
        r.kindCount = 2;
        std::memcpy(b.data() + 16, &r, sizeof(r));
        Save(dir, "mount-multi", b);
    }
    return 0;
}
