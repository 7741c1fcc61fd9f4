// Compressed audio files named by a CUE sheet's WAVE lines. Each source reads the stream's
// parameters from the open file, checks that it is CD audio, and fills offsets 68..104 of the
// record (seek table and stream fields) for the driver's decoder. The CUE parser then takes the
// disc length as total samples / 588.
#pragma once

#include "formats/parser.h"
#include "platform/platform.h"

namespace vostrale {

// FLAC: 1 success, 0 failure, 2 cancelled while generating the seek table. Sets readerKind 7.
int OpenFlacSource(platform::NativeFile file, MountRecord* record, const std::filesystem::path& path,
                   const ParserIo& io);

// APE: 1 success, 0 failure. Sets readerKind 8.
int OpenApeSource(platform::NativeFile file, MountRecord* record, const std::filesystem::path& path,
                  const ParserIo& io);

// Total samples of the source the record now describes (FLAC: offset 104, APE: offset 80).
uint64_t AudioSourceTotalSamples(const MountRecord& record);

} // namespace vostrale
