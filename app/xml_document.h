// The report's own small XML document: an element tree in one chunked arena, serialised with a
// fixed layout (tabs for depth, CR LF line ends, never self-closing). Strings are UTF-8.
#pragma once

#include "formats/arena.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace vostrale::app {

class XmlDocument;

class XmlElement {
  public:
    // Appends a child; null when the arena is exhausted.
    XmlElement* AddChild(std::string_view name);
    // Each attribute name is set once per element; they keep insertion order.
    bool SetAttribute(std::string_view name, std::string_view value);
    bool SetIntAttribute(std::string_view name, int64_t value);
    bool SetText(std::string_view text);

  private:
    friend class XmlDocument;
    struct Attribute {
        const char* name;
        const char* value;
        Attribute* next;
    };
    XmlDocument* m_document;
    const char* m_name;
    XmlElement* m_parent;
    XmlElement* m_firstChild;
    XmlElement* m_lastChild;
    XmlElement* m_next;
    Attribute* m_firstAttribute;
    Attribute* m_lastAttribute;
    const char* m_text; // null: no text
};

class XmlDocument {
  public:
    XmlDocument();
    XmlDocument(const XmlDocument&) = delete;
    XmlDocument& operator=(const XmlDocument&) = delete;

    void SetDeclaration(std::string_view version, std::string_view encoding);
    void SetByteOrderMark(bool on) { m_bom = on; }
    XmlElement* AddElement(std::string_view name);

    std::string Serialise() const;

  private:
    friend class XmlElement;
    const char* Copy(std::string_view text);
    XmlElement* NewElement(std::string_view name, XmlElement* parent);
    static void WriteElement(std::string* out, const XmlElement* e, int depth);

    NodeArena m_arena;
    const char* m_version = nullptr;
    const char* m_encoding = nullptr;
    bool m_bom = false;
    XmlElement* m_first = nullptr;
    XmlElement* m_last = nullptr;
};

// Escapes markup characters; characters XML does not allow (controls other than TAB, CR, LF;
// U+FFFE, U+FFFF) become U+FFFD. In attributes TAB, CR and LF become character references so
// a reader keeps them; in text only CR does.
void AppendXmlEscaped(std::string* out, std::string_view text, bool attribute);

} // namespace vostrale::app
