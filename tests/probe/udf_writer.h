// A small UDF image writer for tests, seeds and benchmarks: builds in memory what no tool here
// writes (metadata partitions with folders, virtual allocation tables with content, 16-bit
// names, deleted entries, continuation extents) and, on request, damaged structures.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vostrale::testing {

enum class UdfPartition { Physical, Metadata, Virtual };

struct UdfWriterOptions {
    bool nsr03 = true;
    UdfPartition partition = UdfPartition::Physical;
    bool isoBridge = false;          // an ISO 9660 primary descriptor ahead of the UDF sequence
    bool extendedEntries = false;    // extended file entries instead of file entries
    uint16_t partitionNumber = 0;    // number of the partition descriptor
    bool type2MapFirst = false;      // the type 2 map at index 0, the physical map at index 1
    bool splitMetadata = false;      // metadata file in two extents apart on disc
    bool brokenMetadataMain = false; // main metadata file unreadable, the mirror intact
    uint32_t sectorsAfterVat = 0;    // recorded sectors behind the table's file entry
};

struct UdfNodeOptions {
    bool utf16 = false;
    bool deleted = false;
    uint32_t extentPieces = 1;       // file data split into this many extents
    uint32_t piecesPerBlock = 0;     // >0: descriptors beyond this many go to continuation blocks
    bool cyclicContinuation = false; // the last continuation block points at itself
    bool embedded = false;           // data inside the file entry
    int linkTo = -1;                 // the entry's identifier points at another node's file entry
};

class UdfImageWriter {
  public:
    explicit UdfImageWriter(const UdfWriterOptions& options = {}) : m_options(options) {
        m_nodes.push_back({"", -1, true, {}, {}});
    }

    static constexpr int kRoot = 0;
    int AddFolder(int parent, const std::string& name);
    int AddFile(int parent, const std::string& name, std::vector<uint8_t> data);
    UdfNodeOptions& Tweak(int node) { return m_nodes[size_t(node)].options; }

    std::vector<uint8_t> Build();

    // Physical sectors, valid after Build.
    uint32_t EntrySector(int node) const { return m_nodes[size_t(node)].entrySector; }
    uint32_t DataSector(int node) const { return m_nodes[size_t(node)].dataSector; }
    static constexpr uint32_t kAnchorSector = 256;
    static constexpr uint32_t kLogicalVolumeSector = 34;

  private:
    struct Node {
        std::string name;
        int parent;
        bool folder;
        std::vector<uint8_t> data;
        UdfNodeOptions options;
        std::vector<int> children{};
        uint32_t entryBlock = 0; // file-set space
        uint32_t dataBlock = 0;  // file-set space (folders)
        uint32_t dataBlocks = 0;
        std::vector<uint32_t> pieceBlocks{}; // physical partition (files)
        std::vector<uint32_t> pieceLengths{};
        std::vector<uint32_t> continuationBlocks{}; // file-set space
        uint32_t entrySector = 0;
        uint32_t dataSector = 0;
    };

    uint32_t FolderSize(const Node& node) const;
    void WriteFolderData(const Node& node, uint8_t* out) const;
    uint32_t FsLbn(uint32_t block) const;
    uint32_t FsSector(uint32_t block) const;
    uint8_t* Sector(uint32_t sector) { return m_image.data() + size_t(sector) * 2048; }
    void WriteEntry(Node& node);

    UdfWriterOptions m_options;
    std::vector<Node> m_nodes;
    std::vector<uint8_t> m_image;
    uint32_t m_fsRef = 0, m_physRef = 0;
    uint32_t m_fsRegion = 0;            // physical: first block of the file-set space
    std::vector<uint32_t> m_fsPhysical; // file-set block -> physical partition block
};

// A raw 2352-byte copy of a 2048-byte image (sync, header, Mode 2 Form 1 subheader, user
// data; EDC and ECC left zero). mode is 1 or 2.
std::vector<uint8_t> ToRaw(const std::vector<uint8_t>& image, uint8_t mode = 1);

} // namespace vostrale::testing
