// WAV files named by a CUE sheet: found by walking the RIFF chunks, not by assuming the
// canonical 44-byte header.
#pragma once

#include "platform/platform.h"

#include <cstdint>

namespace vostrale {

struct WavInfo {
    uint16_t formatTag = 0;
    uint16_t channels = 0;
    uint32_t sampleRate = 0;
    uint16_t bitsPerSample = 0;
    uint64_t dataOffset = 0;
    uint64_t dataSize = 0; // cut to what the file holds
    bool hasFormat = false;
    bool hasData = false;
};

enum class WavResult { kOk, kNotWave, kIncomplete };

// kNotWave: no "RIFF....WAVE" header; kIncomplete: no usable fmt or data chunk.
WavResult ReadWavInfo(platform::NativeFile file, uint64_t fileSize, WavInfo* info);

} // namespace vostrale
