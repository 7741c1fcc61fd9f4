// Test-side helpers for FLAC: reading files, finding the first frame, decoding a whole stream
// frame by frame, and running the reference `flac` tool.
#pragma once

#include "codecs/flac.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

namespace vostrale::test {

inline std::vector<uint8_t> ReadWholeFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)),
                                std::istreambuf_iterator<char>());
}

inline void WriteWholeFile(const std::filesystem::path& path, const std::vector<uint8_t>& data) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(data.data()), std::streamsize(data.size()));
}

struct StreamInfo {
    uint32_t minBlock = 0, maxBlock = 0, minFrame = 0, maxFrame = 0;
    uint32_t sampleRate = 0, channels = 0, bitsPerSample = 0;
    uint64_t totalSamples = 0;
    size_t firstFrame = 0; // byte offset of the first frame
};

// Walks "fLaC" and the metadata blocks. False when the file is not FLAC.
inline bool ParseFlacHeader(const std::vector<uint8_t>& f, StreamInfo* si) {
    if (f.size() < 8 || f[0] != 'f' || f[1] != 'L' || f[2] != 'a' || f[3] != 'C')
        return false;
    size_t pos = 4;
    for (;;) {
        if (f.size() - pos < 4)
            return false;
        bool last = f[pos] & 0x80;
        uint32_t type = f[pos] & 0x7F;
        uint32_t length = uint32_t(f[pos + 1]) << 16 | uint32_t(f[pos + 2]) << 8 | f[pos + 3];
        pos += 4;
        if (f.size() - pos < length)
            return false;
        if (type == 0 && length >= 34) {
            const uint8_t* b = f.data() + pos;
            si->minBlock = uint32_t(b[0]) << 8 | b[1];
            si->maxBlock = uint32_t(b[2]) << 8 | b[3];
            si->minFrame = uint32_t(b[4]) << 16 | uint32_t(b[5]) << 8 | b[6];
            si->maxFrame = uint32_t(b[7]) << 16 | uint32_t(b[8]) << 8 | b[9];
            uint64_t v = 0;
            for (int i = 0; i < 8; ++i)
                v = v << 8 | b[10 + i];
            si->sampleRate = uint32_t(v >> 44);
            si->channels = uint32_t((v >> 41) & 7) + 1;
            si->bitsPerSample = uint32_t((v >> 36) & 31) + 1;
            si->totalSamples = v & ((uint64_t(1) << 36) - 1);
        }
        pos += length;
        if (last)
            break;
    }
    si->firstFrame = pos;
    return true;
}

struct DecodedStream {
    bool ok = false;
    std::vector<uint8_t> pcm;         // interleaved, native depth, little-endian, signed
    std::vector<size_t> frameOffsets; // where each frame starts
    std::vector<uint32_t> blockSizes;
    uint32_t assignmentsSeen = 0; // bit n set when channel assignment n occurred
};

// Decodes every frame of a FLAC file with DecodeFlacFrame.
inline DecodedStream DecodeWholeStream(const std::vector<uint8_t>& file) {
    DecodedStream out;
    StreamInfo si;
    if (!ParseFlacHeader(file, &si))
        return out;
    std::vector<std::vector<int32_t>> channels(kFlacMaxChannels,
                                               std::vector<int32_t>(kFlacMaxBlockSize));
    int32_t* buffers[kFlacMaxChannels];
    for (uint32_t c = 0; c < kFlacMaxChannels; ++c)
        buffers[c] = channels[c].data();
    size_t pos = si.firstFrame;
    while (pos < file.size()) {
        FlacFrameInfo info;
        size_t used = DecodeFlacFrame(file.data() + pos, file.size() - pos, si.bitsPerSample,
                                      buffers, kFlacMaxChannels, kFlacMaxBlockSize, &info);
        if (used == 0)
            return out;
        out.frameOffsets.push_back(pos);
        out.blockSizes.push_back(info.blockSize);
        out.assignmentsSeen |= 1u << info.assignment;
        uint32_t bytes = (info.bitsPerSample + 7) / 8;
        for (uint32_t i = 0; i < info.blockSize; ++i) {
            for (uint32_t c = 0; c < info.channels; ++c) {
                uint32_t v = uint32_t(channels[c][i]);
                for (uint32_t k = 0; k < bytes; ++k)
                    out.pcm.push_back(uint8_t(v >> (8 * k)));
            }
        }
        pos += used;
    }
    out.ok = true;
    return out;
}

inline bool HaveTool(const char* name) {
#ifdef _WIN32
    (void)name;
    return false;
#else
    std::string cmd = std::string("command -v ") + name + " >/dev/null 2>&1";
    return std::system(cmd.c_str()) == 0;
#endif
}

// A scratch folder removed at the end of the scope.
class TempFolder {
  public:
    TempFolder() {
        std::random_device rd;
        m_path =
            std::filesystem::temp_directory_path() / ("vostrale-codecs-" + std::to_string(rd()));
        std::filesystem::create_directories(m_path);
    }
    ~TempFolder() {
        std::error_code ec;
        std::filesystem::remove_all(m_path, ec);
    }
    const std::filesystem::path& Path() const { return m_path; }

  private:
    std::filesystem::path m_path;
};

// Deterministic 16-bit stereo test audio with sections that steer the encoder into every
// subframe kind: tones, noise, silence, DC, identical channels, lowered resolution (wasted
// bits), full-scale square waves and loud noise.
inline std::vector<int16_t> MakeTestAudio(uint32_t frames, uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<int16_t> pcm(size_t(frames) * 2);
    const uint32_t section = 11025;
    for (uint32_t i = 0; i < frames; ++i) {
        uint32_t kind = (i / section) % 8;
        double t = double(i) / 44100.0;
        int32_t l = 0, r = 0;
        int32_t noise = int32_t(rng() % 2001) - 1000;
        switch (kind) {
        case 0:
            l = int32_t(12000 * __builtin_sin(2 * 3.14159265 * 440 * t)) + noise / 10;
            r = int32_t(9000 * __builtin_sin(2 * 3.14159265 * 660 * t)) + noise / 12;
            break;
        case 1:
            l = r = 0;
            break;
        case 2:
            l = 1234;
            r = -4321;
            break;
        case 3:
            l = r = int32_t(15000 * __builtin_sin(2 * 3.14159265 * 220 * t)) + noise;
            break;
        case 4: // low bits zero in both channels
            l = (int32_t(8000 * __builtin_sin(2 * 3.14159265 * 300 * t)) / 8) * 8;
            r = (int32_t(7000 * __builtin_sin(2 * 3.14159265 * 500 * t)) / 8) * 8;
            break;
        case 5:
            l = int32_t(rng() % 65536) - 32768;
            r = int32_t(rng() % 65536) - 32768;
            break;
        case 6:
            l = ((i / 50) % 2) ? 32767 : -32768;
            r = l / 2 + noise;
            break;
        default:
            l = int32_t(20000 * __builtin_sin(2 * 3.14159265 * 1000 * t));
            r = -l + noise / 100;
            break;
        }
        pcm[2 * i] = int16_t(std::max(-32768, std::min(32767, l)));
        pcm[2 * i + 1] = int16_t(std::max(-32768, std::min(32767, r)));
    }
    return pcm;
}

} // namespace vostrale::test
