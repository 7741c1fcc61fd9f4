// Built-in texts kept scrambled in the program file, so its default wording cannot be read or
// patched there as plain text. A literal becomes a ScrambledText at compile time (the
// constructor is consteval, so the plain literal never reaches the program file); Plain()
// gives the text back at run time. The language table's built-in messages and every dialog
// template text go through this one type.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace vostrale::app {

class ScrambledText {
  public:
    static constexpr size_t kCapacity = 160; // characters, terminator excluded

    // From a literal (or a constexpr pointer to one); a text longer than kCapacity does not
    // compile.
    consteval ScrambledText(const wchar_t* text) : m_chars{} {
        size_t n = 0;
        while (text[n] != 0) {
            if (n == kCapacity)
                throw "built-in text longer than ScrambledText::kCapacity";
            m_chars[n] = char16_t(uint16_t(text[n]) ^ Key(n));
            ++n;
        }
        m_size = uint16_t(n);
    }

    std::wstring Plain() const {
        std::wstring text(m_size, L'\0');
        for (size_t i = 0; i < m_size; ++i)
            text[i] = wchar_t(uint16_t(m_chars[i]) ^ Key(i));
        return text;
    }
    size_t Size() const { return m_size; }

  private:
    // A key that changes with the position, so repeated letters do not repeat in the file.
    static constexpr uint16_t Key(size_t i) { return uint16_t(0xA5C3u + 0x3B1Fu * i); }

    uint16_t m_size = 0;
    char16_t m_chars[kCapacity];
};

} // namespace vostrale::app
