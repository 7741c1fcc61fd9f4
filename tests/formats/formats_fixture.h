// Shared helpers for the image-format tests: a temp folder and a parser run that keeps the
// record, the result and the message.
#pragma once

#include "common/bytes.h"
#include "common/disc.h"
#include "common/wire.h"
#include "formats/image_parsers.h"
#include "formats/layout.h"
#include "formats/trace.h"
#include "tests/0support/image_writers.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vostrale {

// Packed record fields cannot bind to references; tests compare copies.
template <typename T> T V(T value) {
    return value;
}

struct Opened {
    int result = 0;
    MountRecord record{};
    std::string message;
    OpenFailure failure;

    Opened() = default;
    Opened(const Opened&) = delete;
    Opened& operator=(const Opened&) = delete;
    ~Opened() { ReleaseLayout(&record); }

    uint32_t TrackCount() const {
        auto* h = PointerOf<TrackTableHeader>(record.trackTable);
        return h ? h->count : 0;
    }
    const TrackEntry& Track(uint32_t i) const {
        return reinterpret_cast<const TrackEntry*>(PointerOf<uint8_t>(record.trackTable) + 4)[i];
    }
    uint32_t TocCount() const {
        auto* t = PointerOf<uint8_t>(record.fullToc);
        return t ? (LoadBe16(t) - 2) / 11 : 0;
    }
    const uint8_t* Toc(uint32_t i) const { return PointerOf<uint8_t>(record.fullToc) + 4 + 11 * i; }
    // TOC descriptor of a POINT in a session, or null.
    const uint8_t* TocPoint(uint8_t session, uint8_t point) const {
        for (uint32_t i = 0; i < TocCount(); ++i) {
            if (Toc(i)[0] == session && Toc(i)[3] == point)
                return Toc(i);
        }
        return nullptr;
    }
};

inline void OpenWith(Opened* o, const std::filesystem::path& path) {
    SetParserTraceStream(nullptr);
    o->record.presetOne = 1;
    o->record.readerKind = kReaderPlainFile;
    o->record.sessions = 1;
    std::wstring message;
    ParserIo io;
    io.message = &message;
    o->result = OpenImage(&o->record, path, io, &o->failure);
    for (wchar_t c : message)
        o->message.push_back(char(c));
}

class TempFolder : public ::testing::Test {
  protected:
    void SetUp() override {
        m_dir = testing::MakeTempFolder("vostrale-formats");
        ASSERT_FALSE(m_dir.empty());
    }
    void TearDown() override {
        std::error_code ec;
        std::filesystem::remove_all(m_dir, ec);
    }
    std::filesystem::path m_dir;
};

inline std::filesystem::path SampleDir() {
    return std::filesystem::path(VOSTRALE_SHARED_DIR) / "testdata" / "cd";
}

} // namespace vostrale
