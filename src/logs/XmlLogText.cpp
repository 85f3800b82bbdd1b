#include "logs/XmlLogText.h"

#include <algorithm>
#include <cstring>

#include <tinyxml2.h>

using tinyxml2::XMLDocument;
using tinyxml2::XMLElement;
using tinyxml2::XMLNode;

namespace {

const char* const Indent = "    ";

// The printer's text with its line ends as a text-mode file writes them.
std::string WithCrLf(const tinyxml2::XMLPrinter& printer)
{
    const char* text = printer.CStr();
    const size_t size = printer.CStrSize() > 0 ? static_cast<size_t>(printer.CStrSize() - 1) : 0;
    std::string out;
    out.reserve(size + size / 16);
    for (size_t i = 0; i < size; ++i) {
        if (text[i] == '\n')
            out += '\r';
        out += text[i];
    }
    return out;
}

// An element as the whole print shows it inside its parent: a line end, the
// indentation of its depth, the element. The printer started at a depth
// indents the first element and ends no line.
std::string PrintPiece(const XMLElement& element, int depth)
{
    tinyxml2::XMLPrinter printer(nullptr, false, depth);
    element.Accept(&printer);
    return "\r\n" + WithCrLf(printer);
}

std::string SectionHead(const XMLElement& section)
{
    return std::string("\r\n") + Indent + "<" + section.Name() + ">";
}

std::string SectionClosing(const XMLElement& section)
{
    return std::string("\r\n") + Indent + "</" + section.Name() + ">";
}

size_t CommonPrefix(const char* a, size_t aSize, const char* b, size_t bSize)
{
    const size_t limit = std::min(aSize, bSize);
    size_t i = 0;
    while (i < limit && a[i] == b[i])
        ++i;
    return i;
}

} // namespace

std::string XmlLogText::PrintWhole(const XMLDocument& document)
{
    tinyxml2::XMLPrinter printer(nullptr, false);
    document.Print(&printer);
    return WithCrLf(printer);
}

void XmlLogText::Reset(const XMLDocument& document)
{
    m_document = &document;
    m_text = PrintWhole(document);
    m_changedFrom = 0;
    // The pieces are trusted only when they make up exactly the whole print.
    m_spliced = BuildPieces();
    if (!m_spliced)
        m_sections.clear();
}

bool XmlLogText::BuildPieces()
{
    m_sections.clear();
    const XMLElement* root = m_document->RootElement();
    // One root element without attributes holding sections without
    // attributes that hold elements only; no declaration, byte order mark
    // or comment, and the entities printed as the printer does by default.
    if (root == nullptr || m_document->FirstChild() != root || root->NextSibling() != nullptr ||
        root->FirstAttribute() != nullptr || root->FirstChild() == nullptr || m_document->HasBOM() ||
        !m_document->ProcessEntities())
        return false;

    std::string text = std::string("<") + root->Name() + ">";
    for (const XMLNode* node = root->FirstChild(); node != nullptr; node = node->NextSibling()) {
        const XMLElement* section = node->ToElement();
        if (section == nullptr || section->FirstAttribute() != nullptr)
            return false;
        Section piece{section, text.size(), {}};
        if (section->FirstChild() == nullptr) {
            text += std::string("\r\n") + Indent + "<" + section->Name() + "/>";
        } else {
            text += SectionHead(*section);
            for (const XMLNode* child = section->FirstChild(); child != nullptr; child = child->NextSibling()) {
                const XMLElement* item = child->ToElement();
                if (item == nullptr)
                    return false;
                piece.items.push_back(text.size() - piece.start);
                text += PrintPiece(*item, 2);
            }
            text += SectionClosing(*section);
        }
        m_sections.push_back(std::move(piece));
    }
    const std::string footer = std::string("\r\n</") + root->Name() + ">\r\n";
    text += footer;
    m_footerSize = footer.size();
    return text == m_text;
}

void XmlLogText::PrintWholeAgain()
{
    m_spliced = false;
    m_sections.clear();
    std::string text = PrintWhole(*m_document);
    const size_t same = CommonPrefix(m_text.data(), m_text.size(), text.data(), text.size());
    if (same != m_text.size() || same != text.size())
        m_changedFrom = std::min(m_changedFrom, same);
    m_text.swap(text);
}

XmlLogText::Section* XmlLogText::FindSection(const XMLElement* section)
{
    for (Section& piece : m_sections) {
        if (piece.element == section)
            return &piece;
    }
    return nullptr;
}

size_t XmlLogText::SectionEnd(size_t index) const
{
    return index + 1 < m_sections.size() ? m_sections[index + 1].start : m_text.size() - m_footerSize;
}

size_t XmlLogText::ClosingSize(const Section& section) const
{
    return SectionClosing(*section.element).size();
}

void XmlLogText::Replace(size_t sectionIndex, size_t from, size_t to, const std::string& bytes)
{
    const size_t same = CommonPrefix(m_text.data() + from, to - from, bytes.data(), bytes.size());
    if (same != to - from || same != bytes.size())
        m_changedFrom = std::min(m_changedFrom, from + same);
    m_text.replace(from, to - from, bytes);
    // Offsets are unsigned: a shrinking piece moves the later ones back by
    // the same amount modulo 2^n, which is what the addition gives.
    const size_t delta = bytes.size() - (to - from);
    for (size_t i = sectionIndex + 1; i < m_sections.size(); ++i)
        m_sections[i].start += delta;
}

void XmlLogText::Appended(const XMLElement* section, const XMLElement* element)
{
    Section* piece = m_spliced ? FindSection(section) : nullptr;
    // The element must be the section's last child, and its only one exactly
    // when the section had no items before.
    if (piece == nullptr || element == nullptr || element->Parent() != section || section->LastChild() != element ||
        (element->PreviousSibling() == nullptr) != piece->items.empty()) {
        PrintWholeAgain();
        return;
    }
    const size_t index = static_cast<size_t>(piece - m_sections.data());
    const std::string item = PrintPiece(*element, 2);
    if (piece->items.empty()) {
        // "<S/>" becomes "<S>", the item, "</S>".
        const std::string head = SectionHead(*section);
        Replace(index, piece->start, SectionEnd(index), head + item + SectionClosing(*section));
        m_sections[index].items.push_back(head.size());
        return;
    }
    const size_t at = SectionEnd(index) - ClosingSize(*piece);
    Replace(index, at, at, item);
    m_sections[index].items.push_back(at - m_sections[index].start);
}

void XmlLogText::Changed(const XMLElement* section, const XMLElement* element)
{
    Section* piece = m_spliced ? FindSection(section) : nullptr;
    if (piece == nullptr || element == nullptr || element->Parent() != section) {
        PrintWholeAgain();
        return;
    }
    // Items change near the end of their section: count back from there.
    size_t fromEnd = 0;
    const XMLNode* node = section->LastChild();
    while (node != nullptr && node != element) {
        node = node->PreviousSibling();
        ++fromEnd;
    }
    if (node == nullptr || fromEnd >= piece->items.size()) {
        PrintWholeAgain();
        return;
    }
    const size_t index = static_cast<size_t>(piece - m_sections.data());
    const size_t item = piece->items.size() - 1 - fromEnd;
    const size_t from = piece->start + piece->items[item];
    const size_t to = item + 1 < piece->items.size() ? piece->start + piece->items[item + 1]
                                                     : SectionEnd(index) - ClosingSize(*piece);
    const std::string bytes = PrintPiece(*element, 2);
    const size_t delta = bytes.size() - (to - from);
    Replace(index, from, to, bytes);
    std::vector<size_t>& items = m_sections[index].items;
    for (size_t i = item + 1; i < items.size(); ++i)
        items[i] += delta;
}

size_t XmlLogText::TakeChangedFrom()
{
    const size_t from = m_changedFrom;
    m_changedFrom = std::string::npos;
    return from;
}
