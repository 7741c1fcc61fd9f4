#include "app/xml_document.h"

#include <cstring>

namespace vostrale::app {

namespace {
constexpr size_t kArenaChunk = 4u << 20;
constexpr const char* kReplacement = "\xEF\xBF\xBD";
} // namespace

void AppendXmlEscaped(std::string* out, std::string_view text, bool attribute) {
    for (size_t i = 0; i < text.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        switch (c) {
        case '"': *out += "&quot;"; continue;
        case '&': *out += "&amp;"; continue;
        case '\'': *out += "&apos;"; continue;
        case '<': *out += "&lt;"; continue;
        case '>': *out += "&gt;"; continue;
        case '\t': *out += attribute ? "&#9;" : "\t"; continue;
        case '\n': *out += attribute ? "&#10;" : "\n"; continue;
        case '\r': *out += "&#13;"; continue;
        default: break;
        }
        if (c < 0x20) {
            *out += kReplacement;
        } else if (c == 0xEF && i + 2 < text.size() && static_cast<unsigned char>(text[i + 1]) == 0xBF &&
                   (static_cast<unsigned char>(text[i + 2]) == 0xBE ||
                    static_cast<unsigned char>(text[i + 2]) == 0xBF)) {
            *out += kReplacement; // U+FFFE and U+FFFF are not XML characters
            i += 2;
        } else {
            out->push_back(char(c));
        }
    }
}

XmlDocument::XmlDocument() : m_arena(kArenaChunk) {}

const char* XmlDocument::Copy(std::string_view text) {
    return m_arena.CopyString(text.data(), text.size());
}

XmlElement* XmlDocument::NewElement(std::string_view name, XmlElement* parent) {
    auto* e = m_arena.New<XmlElement>();
    if (!e)
        return nullptr;
    e->m_name = Copy(name);
    if (!e->m_name)
        return nullptr;
    e->m_document = this;
    e->m_parent = parent;
    return e;
}

void XmlDocument::SetDeclaration(std::string_view version, std::string_view encoding) {
    m_version = Copy(version);
    m_encoding = Copy(encoding);
}

XmlElement* XmlDocument::AddElement(std::string_view name) {
    XmlElement* e = NewElement(name, nullptr);
    if (!e)
        return nullptr;
    (m_last ? m_last->m_next : m_first) = e;
    m_last = e;
    return e;
}

XmlElement* XmlElement::AddChild(std::string_view name) {
    XmlElement* e = m_document->NewElement(name, this);
    if (!e)
        return nullptr;
    (m_lastChild ? m_lastChild->m_next : m_firstChild) = e;
    m_lastChild = e;
    return e;
}

bool XmlElement::SetAttribute(std::string_view name, std::string_view value) {
    for (Attribute* a = m_firstAttribute; a; a = a->next) {
        if (name == a->name)
            return false;
    }
    auto* a = m_document->m_arena.New<Attribute>();
    if (!a)
        return false;
    a->name = m_document->Copy(name);
    a->value = m_document->Copy(value);
    if (!a->name || !a->value)
        return false;
    (m_lastAttribute ? m_lastAttribute->next : m_firstAttribute) = a;
    m_lastAttribute = a;
    return true;
}

bool XmlElement::SetIntAttribute(std::string_view name, int64_t value) {
    return SetAttribute(name, std::to_string(value));
}

bool XmlElement::SetText(std::string_view text) {
    m_text = m_document->Copy(text);
    return m_text != nullptr;
}

void XmlDocument::WriteElement(std::string* out, const XmlElement* e, int depth) {
    out->append(size_t(depth), '\t');
    *out += '<';
    *out += e->m_name;
    for (const XmlElement::Attribute* a = e->m_firstAttribute; a; a = a->next) {
        *out += ' ';
        *out += a->name;
        *out += "=\"";
        AppendXmlEscaped(out, a->value, true);
        *out += '"';
    }
    *out += '>';
    if (e->m_text)
        AppendXmlEscaped(out, e->m_text, false);
    if (e->m_firstChild) {
        *out += "\r\n";
        for (const XmlElement* c = e->m_firstChild; c; c = c->m_next)
            WriteElement(out, c, depth + 1);
        out->append(size_t(depth), '\t');
    }
    *out += "</";
    *out += e->m_name;
    *out += ">\r\n";
}

std::string XmlDocument::Serialise() const {
    std::string out;
    if (m_bom)
        out += "\xEF\xBB\xBF";
    if (m_version) {
        out += "<?xml version=\"";
        out += m_version;
        out += '"';
        if (m_encoding) {
            out += " encoding=\"";
            out += m_encoding;
            out += '"';
        }
        out += "?>\r\n";
    }
    for (const XmlElement* e = m_first; e; e = e->m_next)
        WriteElement(&out, e, 0);
    return out;
}

} // namespace vostrale::app
