// Test-side helpers: images written at test time, mount records built by hand, control
// buffers and CDBs sent through the HostAdapter's two doors.
#pragma once

#include "common/bytes.h"
#include "common/wire.h"
#include "driver/host/host_adapter.h"
#include "driver/host/host_services.h"
#include "formats/image_parsers.h"
#include "formats/layout.h"
#include "platform/platform.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <string>
#include <vector>

namespace vostrale::test {

using Bytes = std::vector<uint8_t>;

// A byte that identifies (lba, position) so misplaced data shows.
inline uint8_t PatternByte(uint32_t lba, uint32_t i) {
    return uint8_t((lba * 7 + i * 13 + (i >> 8)) & 0xFF);
}

inline Bytes UserPattern(uint32_t lba) {
    Bytes b(kUserDataSize);
    for (uint32_t i = 0; i < kUserDataSize; ++i)
        b[i] = PatternByte(lba, i);
    return b;
}

class TempDir {
  public:
    TempDir() {
        static int counter = 0;
        m_path =
            std::filesystem::temp_directory_path() /
            ("vostrale-engine-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
        std::filesystem::create_directories(m_path);
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(m_path, ec);
    }
    std::filesystem::path Path(const std::string& name) const { return m_path / name; }
    std::filesystem::path Write(const std::string& name, const Bytes& bytes) const {
        std::filesystem::path p = Path(name);
        std::ofstream out(p, std::ios::binary);
        out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
        return p;
    }

  private:
    std::filesystem::path m_path;
};

// An open file whose descriptor travels in a record, closed at the end of the test (the
// driver keeps its own reference).
class OpenFile {
  public:
    explicit OpenFile(const std::filesystem::path& p) {
        m_file = platform::OpenForRead(p, nullptr);
    }
    ~OpenFile() {
        if (m_file)
            platform::CloseFile(m_file);
    }
    uint64_t Handle() const { return m_file; }

  private:
    platform::NativeFile m_file = 0;
};

// A track table block as a parser would hang it on the record.
inline Bytes TrackTable(std::initializer_list<TrackEntry> entries) {
    Bytes b(TrackTableSize(uint32_t(entries.size())));
    StoreLe16(b.data(), uint16_t(entries.size()));
    size_t off = sizeof(TrackTableHeader);
    for (const TrackEntry& e : entries) {
        std::memcpy(b.data() + off, &e, sizeof(e));
        off += sizeof(e);
    }
    return b;
}

inline TrackEntry Span(uint8_t type, uint8_t parts, uint32_t first, uint32_t end, uint32_t stride,
                       uint64_t offset) {
    TrackEntry e{};
    e.sectorType = type;
    e.parts = parts;
    e.firstLba = first;
    e.endLba = end;
    e.bytesPerSector = stride;
    e.fileOffset = offset;
    return e;
}

inline Bytes Slice(const Bytes& b, size_t start, size_t length) {
    return Bytes(b.begin() + long(start), b.begin() + long(start + length));
}

inline uint64_t Ptr(const void* p) {
    return uint64_t(uintptr_t(p));
}

inline MountRecord BaseRecord(uint64_t handle, uint8_t medium, uint8_t reader, uint32_t total,
                              uint16_t bytesPerSector = 2048) {
    MountRecord r{};
    r.imageHandle = handle;
    r.bytesPerSector = bytesPerSector;
    r.presetOne = 1;
    r.mediumKind = medium;
    r.readerKind = reader;
    r.sessions = 1;
    r.totalSectors = total;
    return r;
}

inline Bytes ControlBuffer(uint32_t code, uint32_t value, const Bytes& body = {}) {
    Bytes b(sizeof(ControlHeader) + body.size());
    StoreLe32(b.data(), kControlMagic);
    StoreLe32(b.data() + 4, code);
    StoreLe32(b.data() + 8, uint32_t(body.size()));
    StoreLe32(b.data() + 12, value);
    if (!body.empty())
        std::memcpy(b.data() + sizeof(ControlHeader), body.data(), body.size());
    return b;
}

inline Bytes MountBuffer(uint32_t drive, const MountRecord& r) {
    Bytes body(sizeof(r));
    std::memcpy(body.data(), &r, sizeof(r));
    return ControlBuffer(kCtlMount, drive, body);
}

inline uint32_t ReplyValue(const Bytes& b) {
    return LoadLe32(b.data() + 12);
}

struct Reply {
    ScsiOutcome outcome;
    Bytes data; // the bytes delivered

    uint8_t Key() const { return outcome.sense.size() > 2 ? outcome.sense[2] & 0x0F : 0; }
    uint8_t Asc() const { return outcome.sense.size() > 12 ? outcome.sense[12] : 0; }
    uint8_t Ascq() const { return outcome.sense.size() > 13 ? outcome.sense[13] : 0; }
    uint32_t SenseTriple() const {
        return (uint32_t(Key()) << 16) | (uint32_t(Asc()) << 8) | Ascq();
    }
    bool Good() const { return outcome.scsiStatus == 0; }
};

inline Reply Send(HostAdapter& a, uint8_t target, const Bytes& cdb, uint32_t length) {
    Reply r;
    Bytes buffer(length + 64, 0xCC); // guard bytes after the transfer length
    r.outcome =
        a.Scsi(0, target, 0, cdb.data(), cdb.size(), length ? buffer.data() : nullptr, length);
    for (uint32_t i = length; i < buffer.size(); ++i) {
        if (buffer[i] != 0xCC) {
            ADD_FAILURE() << "write past the transfer length at " << i;
            break;
        }
    }
    r.data.assign(buffer.begin(), buffer.begin() + r.outcome.bytes);
    return r;
}

inline Bytes Read10(uint32_t lba, uint16_t count) {
    Bytes c(10, 0);
    c[0] = 0x28;
    StoreBe32(c.data() + 2, lba);
    StoreBe16(c.data() + 7, count);
    return c;
}

inline Bytes Read12(uint32_t lba, uint32_t count) {
    Bytes c(12, 0);
    c[0] = 0xA8;
    StoreBe32(c.data() + 2, lba);
    StoreBe32(c.data() + 6, count);
    return c;
}

inline Bytes ReadCd(uint32_t lba, uint32_t count, uint8_t fields, uint8_t sub = 0,
                    uint8_t expected = 0) {
    Bytes c(12, 0);
    c[0] = 0xBE;
    c[1] = uint8_t(expected << 2);
    StoreBe32(c.data() + 2, lba);
    StoreBe24(c.data() + 6, count);
    c[9] = fields;
    c[10] = sub;
    return c;
}

constexpr uint32_t kSenseTrayOpen = 0x023A02;
constexpr uint32_t kSenseChanged = 0x062800;
constexpr uint32_t kSenseInvalidField = 0x052400;
constexpr uint32_t kSenseInvalidOpcode = 0x052000;
constexpr uint32_t kSenseOutOfRange = 0x052100;
constexpr uint32_t kSenseIllegalMode = 0x056400;
constexpr uint32_t kSenseReadError = 0x031100;
constexpr uint32_t kSenseBadParameter = 0x052600;

// One adapter with one drive and the stored drive count reset around it.
class EngineTest : public ::testing::Test {
  protected:
    void SetUp() override {
        host::SetStoredDriveCount(std::nullopt);
        host::ClearSenderArena();
        host::SetSecurityCaptureFails(false);
        m_adapter = std::make_unique<HostAdapter>();
        ASSERT_TRUE(m_adapter->Valid());
    }
    void TearDown() override { m_adapter.reset(); }

    HostAdapter& A() { return *m_adapter; }

    bool Mount(uint32_t drive, const MountRecord& r, uint32_t* status = nullptr) {
        Bytes b = MountBuffer(drive, r);
        bool ok = A().Control(b.data(), b.size());
        if (status)
            *status = ReplyValue(b);
        return ok;
    }
    bool Simple(uint32_t code, uint32_t value, uint32_t* reply = nullptr) {
        Bytes b = ControlBuffer(code, value);
        bool ok = A().Control(b.data(), b.size());
        if (reply)
            *reply = ReplyValue(b);
        return ok;
    }
    // Consumes the unit attention of a fresh mount.
    void SettleDrive(uint8_t target = 0) {
        Reply r = Send(A(), target, Bytes(6, 0), 0);
        if (!r.Good()) {
            EXPECT_EQ(r.SenseTriple(), kSenseChanged);
        }
        r = Send(A(), target, Bytes(6, 0), 0);
        ASSERT_TRUE(r.Good()) << std::hex << r.SenseTriple();
    }

    // Parses an image as the tray program does, mounts it on drive 0 and lets the drive
    // settle (the 4 s of a disc change, then the unit attention).
    bool MountParsedImage(const std::filesystem::path& path, std::string* message) {
        MountRecord record;
        PresetMountRecord(&record);
        std::wstring text;
        ParserIo io;
        io.message = &text;
        if (OpenImage(&record, path, io) != kParseOk) {
            message->assign(text.begin(), text.end());
            return false;
        }
        bool ok = Mount(0, record);
        ReleaseLayout(&record);
        host::AdvanceClock(4000);
        Send(A(), 0, Bytes(6, 0), 0);
        if (!ok)
            *message = "refused by the drive";
        return ok;
    }

    // Mounts on drive 0 the disc an audio source (FLAC, APE) described in `record`, over
    // `file`, and settles the drive. The record's blocks and the file are released: the
    // driver keeps its own copies.
    bool MountAudioSource(MountRecord& record, platform::NativeFile file, uint32_t sectors) {
        record.imageHandle = file;
        record.bytesPerSector = 2352;
        record.mediumKind = kMediumCd;
        record.sessions = 1;
        record.totalSectors = sectors;
        bool mounted = Mount(0, record);
        record.imageHandle = 0;
        ReleaseLayout(&record);
        platform::CloseFile(file);
        if (!mounted)
            return false;
        host::AdvanceClock(4000);
        SettleDrive();
        return true;
    }

    TempDir m_dir;
    std::unique_ptr<HostAdapter> m_adapter;
};

// An engine with a plain ISO of `Sectors` pattern sectors (UserPattern) ready to mount.
template <uint32_t Sectors>
class PlainIsoTest : public EngineTest {
  protected:
    void SetUp() override {
        EngineTest::SetUp();
        Bytes image;
        for (uint32_t lba = 0; lba < Sectors; ++lba) {
            Bytes s = UserPattern(lba);
            image.insert(image.end(), s.begin(), s.end());
        }
        m_iso = std::make_unique<OpenFile>(m_dir.Write("plain.iso", image));
    }
    MountRecord Plain(uint8_t medium = kMediumCd, uint32_t total = Sectors) {
        return BaseRecord(m_iso->Handle(), medium, kReaderPlainFile, total);
    }
    static constexpr uint32_t kSectors = Sectors;
    std::unique_ptr<OpenFile> m_iso;
};

} // namespace vostrale::test
