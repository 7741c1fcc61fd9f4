#include "formats/cue.h"

#include "formats/trace.h"

#include <cstdio>
#include <cstring>

namespace vostrale {

namespace {

struct NamedCode {
    const char* word;
    uint32_t code;
    const char* logName;
};

const NamedCode kModes[] = {
    {"AUDIO", kCueModeAudio, "AUDIO"},
    {"CDG", kCueModeCdg, "CDG_2448"},
    {"MODE1/2048", kCueModeMode1_2048, "MODE1_2048"},
    {"MODE1/2352", kCueModeMode1_2352, "MODE1_2352"},
    {"MODE2/2336", kCueModeMode2_2336, "MODE2_2335"},
    {"MODE2/2352", kCueModeMode2_2352, "MODE2_2352"},
    {"CDI/2336", kCueModeCdi_2336, "CDI_2336"},
    {"CDI/2352", kCueModeCdi_2352, "CDI_2352"},
};

const NamedCode kFileTypes[] = {
    {"BINARY", kCueFileBinary, "BIN"}, {"MOTOROLA", kCueFileMotorola, "MOTOROLA"},
    {"AIFF", kCueFileAiff, "AIFF"},    {"WAVE", kCueFileWave, "WAVE"},
    {"MP3", kCueFileMp3, "MP3"},
};

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

bool IsDigits(const char* s, size_t maxDigits) {
    size_t n = std::strlen(s);
    if (n == 0 || n > maxDigits)
        return false;
    for (size_t i = 0; i < n; ++i) {
        if (s[i] < '0' || s[i] > '9')
            return false;
    }
    return true;
}

uint32_t Decimal(const char* s) {
    uint32_t v = 0;
    for (; *s; ++s)
        v = v * 10 + uint32_t(*s - '0');
    return v;
}

// mm:ss:ff with ss < 60 and ff < 75; missing trailing parts count 0.
bool ParsePosition(char* text, uint32_t msf[3]) {
    constexpr size_t kMaxMinuteDigits = 4;
    const uint32_t limits[3] = {10000, 60, 75};
    char* part = text;
    for (int i = 0; i < 3; ++i) {
        msf[i] = 0;
        if (!part)
            continue;
        char* colon = std::strchr(part, ':');
        if (colon)
            *colon = 0;
        if (!IsDigits(part, i == 0 ? kMaxMinuteDigits : 2))
            return false;
        msf[i] = Decimal(part);
        if (msf[i] >= limits[i])
            return false;
        part = colon ? colon + 1 : nullptr;
    }
    return part == nullptr;
}

// A media catalogue number is 13 decimal digits.
bool ValidCatalog(char* operands, std::string* catalog) {
    char* token = NextCueToken(&operands);
    if (!token || std::strlen(token) != kCueCatalogLength || !IsDigits(token, kCueCatalogLength))
        return false;
    *catalog = token;
    return true;
}

bool IsUpperAlnum(char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z');
}

class SheetReader {
  public:
    explicit SheetReader(CueSheet* sheet) : m_sheet(sheet) {}

    bool Line(char* line) {
        while (IsBlank(*line))
            ++line;
        if (*line == 0)
            return true;
        char* operands = line;
        while (*operands && !IsBlank(*operands))
            ++operands;
        if (*operands)
            *operands++ = 0;
        const char* keyword = line;
        if (std::strcmp(keyword, "FILE") == 0)
            return File(operands);
        if (std::strcmp(keyword, "TRACK") == 0)
            return Track(operands);
        if (std::strcmp(keyword, "TITLE") == 0)
            return Text(operands, "TITLE %s\n", &m_sheet->title, &CueTrack::title);
        if (std::strcmp(keyword, "PERFORMER") == 0)
            return Text(operands, "PERFORMER %s\n", &m_sheet->performer, &CueTrack::performer);
        if (std::strcmp(keyword, "INDEX") == 0)
            return Index(operands);
        if (std::strcmp(keyword, "CATALOG") == 0) {
            ParserTrace("CATALOG %s\n", operands);
            return ValidCatalog(operands, &m_sheet->catalog);
        }
        if (std::strcmp(keyword, "PREGAP") == 0 && !m_sheet->tracks.empty())
            return Gap(operands, "PREGAP %s\n", &m_sheet->tracks.back().pregap);
        if (std::strcmp(keyword, "POSTGAP") == 0 && !m_sheet->tracks.empty())
            return Gap(operands, "POSTGAP %s\n", &m_sheet->tracks.back().postgap);
        if (std::strcmp(keyword, "FLAGS") == 0 && !m_sheet->tracks.empty()) {
            Flags(operands);
            return true;
        }
        if (std::strcmp(keyword, "ISRC") == 0 && !m_sheet->tracks.empty()) {
            Isrc(operands);
            return true;
        }
        if (std::strcmp(keyword, "REM") == 0 && IsSessionLine(operands))
            return Session(operands);
        ParserTrace("Skip: %s %s\n", keyword, operands);
        return true;
    }

    // The last session must have tracks too.
    bool Finish() {
        if (m_sheet->sessions > 1 && !SessionHasTracks(m_sheet->sessions)) {
            m_sheet->problem = SessionProblem("session %u has no tracks", m_sheet->sessions);
            return false;
        }
        return true;
    }

  private:
    static bool IsSessionLine(const char* operands) {
        while (IsBlank(*operands))
            ++operands;
        return std::strncmp(operands, "SESSION", 7) == 0 &&
               (operands[7] == 0 || IsBlank(operands[7]));
    }

    static std::string SessionProblem(const char* format, uint32_t number) {
        char text[64];
        std::snprintf(text, sizeof(text), format, unsigned(number));
        return text;
    }

    bool SessionHasTracks(uint32_t session) const {
        return !m_sheet->tracks.empty() && m_sheet->tracks.back().session == session;
    }

    // REM SESSION nn, as dumps of discs with several sessions carry it: the tracks after it
    // belong to session nn. Sessions follow one another from 01, each with tracks.
    bool Session(char* operands) {
        NextCueToken(&operands); // SESSION
        char* number = NextCueToken(&operands);
        ParserTrace("REM SESSION %s\n", number ? number : "");
        constexpr size_t kMaxSessionDigits = 2;
        const uint32_t n = number && IsDigits(number, kMaxSessionDigits) ? Decimal(number) : 0;
        if (n == 0 || n > kCueMaxSessions) {
            m_sheet->problem = "REM SESSION needs a session number from 01 to 99";
            return false;
        }
        const uint32_t current = m_sheet->sessions;
        if (n == current)
            return true;
        if (n != current + 1) {
            m_sheet->problem = SessionProblem("REM SESSION %02u is out of order", n);
            return false;
        }
        if (!SessionHasTracks(current)) {
            m_sheet->problem = SessionProblem("session %u has no tracks", current);
            return false;
        }
        m_sheet->sessions = n;
        return true;
    }

    bool File(char* operands) {
        char* name = NextCueToken(&operands);
        if (!name || std::strlen(name) > kCueMaxFileName)
            return false;
        ParserTrace("FILE %s ", name);
        m_sheet->fileName = name;
        char* type = NextCueToken(&operands);
        if (!type)
            return false;
        ParserTrace("%s\n", type);
        for (const NamedCode& t : kFileTypes) {
            if (std::strcmp(type, t.word) == 0) {
                m_sheet->fileType = t.code;
                // Only files with tracks matter, and a disc has at most 99 tracks. A FILE line
                // repeating the file before it continues that file (positions stay counted from
                // its start), as sheets written one FILE line per track over one BIN do.
                const bool repeated = !m_sheet->files.empty() &&
                                      m_sheet->files.back().name == name &&
                                      m_sheet->files.back().type == t.code;
                if (!repeated)
                    m_sheet->files.push_back({name, t.code});
                return true;
            }
        }
        return false;
    }

    bool Gap(char* operands, const char* trace, uint32_t* sectors) {
        char* position = NextCueToken(&operands);
        if (!position)
            return false;
        ParserTrace(trace, position);
        uint32_t msf[3];
        if (!ParsePosition(position, msf))
            return false;
        *sectors = (msf[0] * 60 + msf[1]) * 75 + msf[2];
        return true;
    }

    void Flags(char* operands) {
        ParserTrace("FLAGS %s\n", operands);
        uint8_t flags = 0;
        while (char* word = NextCueToken(&operands)) {
            if (std::strcmp(word, "DCP") == 0)
                flags |= kCueFlagCopyPermitted;
            else if (std::strcmp(word, "4CH") == 0)
                flags |= kCueFlagFourChannel;
            else if (std::strcmp(word, "PRE") == 0)
                flags |= kCueFlagPreEmphasis;
        }
        m_sheet->tracks.back().flags = flags;
    }

    // An ISRC that is not one (wrong length or characters) is left out, not a broken sheet.
    void Isrc(char* operands) {
        ParserTrace("ISRC %s\n", operands);
        char* token = NextCueToken(&operands);
        if (!token)
            return;
        std::string code = token;
        for (char& c : code) {
            if (c >= 'a' && c <= 'z')
                c = char(c - 32);
        }
        if (IsValidIsrc(code))
            m_sheet->tracks.back().isrc = code;
    }

    bool Track(char* operands) {
        char* number = NextCueToken(&operands);
        char* mode = number ? NextCueToken(&operands) : nullptr;
        if (!mode)
            return false;
        if (m_sheet->tracks.size() >= kCueMaxTracks) {
            m_sheet->problem = "a disc holds at most 99 tracks";
            return false;
        }
        ParserTrace("\nTRACK %s ", number);
        ParserTrace("%s\n", mode);
        CueTrack track;
        track.session = m_sheet->sessions;
        if (!m_sheet->files.empty())
            track.file = uint32_t(m_sheet->files.size() - 1);
        for (const NamedCode& m : kModes) {
            if (std::strcmp(mode, m.word) == 0)
                track.mode = m.code;
        }
        m_sheet->tracks.push_back(track);
        return true;
    }

    bool Text(char* operands, const char* trace, std::string* discField,
              std::string CueTrack::*trackField) {
        char* text = NextCueToken(&operands);
        if (!text || std::strlen(text) > kCueMaxText)
            return false;
        ParserTrace(trace, text);
        if (m_sheet->tracks.empty())
            *discField = text;
        else
            m_sheet->tracks.back().*trackField = text;
        return true;
    }

    bool Index(char* operands) {
        constexpr size_t kMaxIndexDigits = 2;
        char* number = NextCueToken(&operands);
        char* position = number ? NextCueToken(&operands) : nullptr;
        if (!position || !IsDigits(number, kMaxIndexDigits))
            return false;
        ParserTrace("INDEX %s ", number);
        char shown[64];
        std::snprintf(shown, sizeof(shown), "%s", position);
        uint32_t msf[3];
        if (!ParsePosition(position, msf))
            return false;
        const uint32_t sectors = (msf[0] * 60 + msf[1]) * 75 + msf[2];
        ParserTrace("%s(%02d:%02d:%02d) Index01=%d\n", shown, int(msf[0]), int(msf[1]), int(msf[2]),
                    int(sectors));
        if (m_sheet->tracks.empty())
            return true;
        CueTrack& track = m_sheet->tracks.back();
        if (Decimal(number) == 1) {
            track.index01 = sectors;
        } else if (Decimal(number) == 0) {
            track.index00 = sectors;
            track.hasIndex00 = true;
        }
        return true;
    }

    CueSheet* m_sheet;
};

} // namespace

char* NextCueToken(char** pos) {
    char* p = *pos;
    while (IsBlank(*p))
        ++p;
    if (*p == 0) {
        *pos = p;
        return nullptr;
    }
    char* token;
    if (*p == '"') {
        token = p + 1;
        char* close = std::strchr(token, '"');
        if (!close) {
            *pos = p;
            return nullptr;
        }
        *close = 0;
        *pos = close + 1;
        return token;
    }
    token = p;
    while (*p && !IsBlank(*p))
        ++p;
    if (*p)
        *p++ = 0;
    *pos = p;
    return token;
}

bool ParseCueSheet(const char* text, size_t size, CueSheet* sheet) {
    *sheet = CueSheet{};
    SheetReader reader(sheet);
    char line[kCueMaxLine + 1];
    size_t at = 0;
    while (at < size) {
        // Like a line read into a 511-byte buffer: up to and including '\n', at most 510 bytes.
        size_t n = 0;
        while (at < size && n < kCueMaxLine) {
            char c = text[at++];
            line[n++] = c;
            if (c == '\n')
                break;
        }
        line[n] = 0;
        for (size_t i = 0; i < n; ++i) {
            if (line[i] == '\r' || line[i] == '\n')
                line[i] = 0;
        }
        if (!reader.Line(line))
            return false;
    }
    if (!reader.Finish())
        return false;
    for (CueTrack& t : sheet->tracks) {
        if (t.file == kCueNoFile && !sheet->files.empty())
            t.file = 0;
    }
    return true;
}

bool IsValidIsrc(const std::string& isrc) {
    if (isrc.size() != kCueIsrcLength)
        return false;
    for (size_t i = 0; i < kCueIsrcLength; ++i) {
        char c = isrc[i];
        if (i < 5 ? !IsUpperAlnum(c) : (c < '0' || c > '9'))
            return false;
    }
    return true;
}

const char* CueModeLogName(uint32_t mode) {
    for (const NamedCode& m : kModes) {
        if (m.code == mode)
            return m.logName;
    }
    return "UNKNOWN";
}

const char* CueFileTypeName(uint32_t type) {
    for (const NamedCode& t : kFileTypes) {
        if (t.code == type)
            return t.logName;
    }
    return "UNKNOWN";
}

} // namespace vostrale
