// The APE source over a mutated file, then the first frame of whatever it accepts.
#include "codecs/ape/ape_decoder.h"
#include "formats/audio_source.h"
#include "formats/layout.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace {
std::filesystem::path TempPath() {
    return std::filesystem::temp_directory_path() /
           ("vostrale_fuzz_ape_" + std::to_string(getpid()) + ".ape");
}

void RemoveTemp() {
    std::error_code ec;
    std::filesystem::remove(TempPath(), ec);
}

constexpr uint32_t kMaxFuzzBlocks = 1 << 16; // keeps one iteration fast
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace vostrale;
    static const std::filesystem::path path = TempPath();
    static const bool cleanup = std::atexit(RemoveTemp) == 0;
    (void)cleanup;
    if (FILE* f = std::fopen(path.c_str(), "wb")) {
        std::fwrite(data, 1, size, f);
        std::fclose(f);
    } else {
        return 0;
    }
    uint32_t error = 0;
    platform::NativeFile file = platform::OpenForRead(path, &error);
    if (!file)
        return 0;
    MountRecord record{};
    std::wstring message;
    ParserIo io;
    io.message = &message;
    if (OpenApeSource(file, &record, path, io) == kParseOk) {
        const SeekPoint* table = PointerOf<SeekPoint>(record.kindPointer);
        const uint32_t count = record.kindCount;
        // Accepted tables run forwards inside the file and end at the total.
        for (uint32_t i = 1; i < count; ++i)
            if (table[i].fileOffset <= table[i - 1].fileOffset ||
                table[i].sample <= table[i - 1].sample || table[i].fileOffset > size)
                __builtin_trap();
        if (table[count - 1].sample != record.param80)
            __builtin_trap();
        ApeStreamInfo info{uint16_t(record.param96), uint16_t(record.param96 >> 16),
                           uint16_t(record.param100), uint16_t(record.param100 >> 16)};
        static ApeDecoder decoder;
        ApeFrameSpan span{};
        if (!ApeInitDecoder(&decoder, info) || !ApeGetFrameSpan(table, count, 0, &span))
            __builtin_trap();
        if (span.blocks <= kMaxFuzzBlocks) {
            std::vector<uint8_t> input(span.readBytes);
            size_t got = 0;
            platform::ReadAt(file, span.readOffset, input.data(), input.size(), &got);
            std::vector<uint8_t> pcm(size_t(ApePcmBytes(info, span.blocks)));
            ApeDecodeFrame(&decoder, input.data(), input.size(), span.skip, span.blocks, pcm.data(),
                           pcm.size());
        }
    }
    ReleaseLayout(&record);
    platform::CloseFile(file);
    return 0;
}
