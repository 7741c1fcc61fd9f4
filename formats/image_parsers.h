// Image opening: the parser is chosen by the file's three-letter extension; everything else
// is a plain image of 2048- or 2352-byte sectors. Every entry follows the parser contract of
// parser.h: (record, path, io) -> kParseOk / kParseFailed / kParseCancelled, and a failed
// entry has already released what it put into the layout.
#pragma once

#include "common/wire.h"
#include "formats/parser.h"
#include "platform/platform.h"

#include <filesystem>

namespace vostrale {

enum class ImageFormat { Plain, Ccd, Cue, Isz, Mds, Nrg };

// "ccd", "cue", "isz", "mds", "nrg" after the last dot (exactly three characters, A-Z folded),
// else Plain. The content is not consulted.
ImageFormat ImageFormatOf(const std::filesystem::path& path);

// Why OpenImage failed, for the caller's user interface: the plain path reports an
// unrecognised image through a message box rather than the message buffer.
struct OpenFailure {
    enum Kind { kNone, kOpenError, kUnsupportedFormat, kParser } kind = kNone;
    // kOpenError; with kParser the system's error behind the parser's message, when it has one
    // (the plain path's second open), 0 otherwise.
    uint32_t systemError = 0;
};

// How the plain path opens the image file: platform::OpenForRead, or a test's stand-in.
using ImageFileOpener = platform::NativeFile (*)(const std::filesystem::path& path,
                                                 uint32_t* error);

constexpr const char* kUnsupportedFormatText = "Unsupported file format";

// A record as the mount flow hands it to the parsers: zeroed, then presetOne 1, a plain-file
// reader and one session (the plain path keeps those).
void PresetMountRecord(MountRecord* record);

int OpenImage(MountRecord* record, const std::filesystem::path& path, const ParserIo& io,
              OpenFailure* failure = nullptr);

// The first open failing is an open error (kOpenError); once the image is recognised, a
// failing second open or raw-track set-up is a parser failure with its reason in the message.
int OpenPlainImage(MountRecord* record, const std::filesystem::path& path, const ParserIo& io,
                   OpenFailure* failure = nullptr,
                   ImageFileOpener openFile = platform::OpenForRead);
int OpenCueImage(MountRecord* record, const std::filesystem::path& path, const ParserIo& io);
int OpenIszImage(MountRecord* record, const std::filesystem::path& path, const ParserIo& io);
int OpenMdsImage(MountRecord* record, const std::filesystem::path& path, const ParserIo& io);
int OpenNrgImage(MountRecord* record, const std::filesystem::path& path, const ParserIo& io);
int OpenCcdImage(MountRecord* record, const std::filesystem::path& path, const ParserIo& io);

} // namespace vostrale
