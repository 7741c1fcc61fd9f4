// The rule for the files a mount may read, as both the NT and the host services apply it.
#include "driver/core/file_rule.h"

#include <gtest/gtest.h>

namespace vostrale {
namespace {

TEST(FileRule, DisksAndDiscsOnlyReadSynchronouslyAndNeverOurOwnDrives) {
    struct Case {
        const char* what;
        FileFacts facts;
        bool accepted;
    } cases[] = {
        {"a file on a local disk or a share", {kVolumeDisk, true, false, false}, true},
        {"a file on a CD or DVD", {kVolumeCdRom, true, false, false}, true},
        {"a file on one of our own drives", {kVolumeCdRom, true, false, true}, false},
        {"a folder", {kVolumeDisk, true, true, false}, false},
        {"opened for asynchronous I/O", {kVolumeDisk, false, false, false}, false},
        {"a named pipe", {0x11, true, false, false}, false},
        {"a device of its own (a console, a serial port)", {0x50, true, false, false}, false},
        {"a network file system device opened directly", {0x14, true, false, false}, false},
        {"unknown", {0, true, false, false}, false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(AcceptImageFile(c.facts), c.accepted) << c.what;
}

} // namespace
} // namespace vostrale
