// A fresh copy of the shipped driver per test: loaded, started, and at the end removed and
// unloaded with no violation and nothing left behind.
#pragma once

#include "common/bytes.h"
#include "common/wire.h"
#include "tests/ntsim/host.h"
#include "tests/ntsim/loader.h"
#include "tests/ntsim/model.h"
#include "tests/ntsim/port.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace ntsim::test {

using Bytes = std::vector<uint8_t>;

inline std::string DriverImage() {
    if (const char* path = std::getenv("VOSTRALE_DRIVER_IMAGE"))
        return path;
    return VOSTRALE_DRIVER_IMAGE;
}

inline std::string Joined(const std::vector<std::string>& lines) {
    std::string out;
    for (const std::string& l : lines)
        out += l + "\n";
    return out;
}

inline Bytes ControlBuffer(uint32_t code, uint32_t value, const Bytes& body = {}) {
    Bytes b(sizeof(vostrale::ControlHeader) + body.size());
    vostrale::StoreLe32(b.data(), vostrale::kControlMagic);
    vostrale::StoreLe32(b.data() + 4, code);
    vostrale::StoreLe32(b.data() + 8, uint32_t(body.size()));
    vostrale::StoreLe32(b.data() + 12, value);
    if (!body.empty())
        std::memcpy(b.data() + sizeof(vostrale::ControlHeader), body.data(), body.size());
    return b;
}

inline Bytes MountBuffer(uint32_t drive, const vostrale::MountRecord& r) {
    Bytes body(sizeof(r));
    std::memcpy(body.data(), &r, sizeof(r));
    return ControlBuffer(vostrale::kCtlMount, drive, body);
}

class DriverTest : public ::testing::Test {
  protected:
    // Tests that need the stored drive count set it before the adapter starts.
    virtual void BeforeStart() {}

    void SetUp() override {
        ClearViolations();
        SetRegistryDword(kServiceKey, L"NumberOfDrives", std::nullopt);
        BeforeStart();
        std::string error;
        ASSERT_TRUE(port::Load(DriverImage(), &error)) << error;
        ASSERT_TRUE(port::StartAdapter(&error)) << error;
        m_sender = CreateSenderProcess("tray");
    }

    void TearDown() override {
        if (port::Loaded()) {
            std::string leaks = port::Unload();
            EXPECT_EQ(leaks, "") << "the driver still holds after unload";
        }
        if (m_sender)
            EndProcess(m_sender);
        std::vector<std::string> v = Violations();
        EXPECT_TRUE(v.empty()) << Joined(v);
        ClearViolations();
    }

    Process* Sender() { return m_sender; }

    // The private request from the sender process; the reply replaces the buffer's start.
    ControlResult Control(Bytes& buffer, Process* from = nullptr) {
        return port::DeviceControl(from ? from : m_sender, port::kControlCode, &buffer,
                                   uint32_t(buffer.size()));
    }

    Process* m_sender = nullptr;
};

} // namespace ntsim::test
