#pragma once
#include <cstddef>
#include <string>
#include <vector>

namespace tinyxml2 {
class XMLDocument;
class XMLElement;
}

// The saved form of a result-log document, kept in memory: the document
// printed by tinyxml2 with four-space indentation and no declaration, its
// line ends written as CR LF. These are exactly the file's bytes.
//
// A result log is a root element holding section elements that hold items.
// For a document of that shape the text is kept as pieces at known offsets
// (each section, each item), so that adding an item or changing one reprints
// only that item: the cost of a change does not depend on the size of the
// document. Any other shape is printed whole on every change.
class XmlLogText {
public:
    // The document printed whole, with CR LF line ends.
    static std::string PrintWhole(const tinyxml2::XMLDocument& document);

    // Prints the whole document anew (after it was created or loaded).
    void Reset(const tinyxml2::XMLDocument& document);
    // The element was appended as the last child of the section.
    void Appended(const tinyxml2::XMLElement* section, const tinyxml2::XMLElement* element);
    // The element, a child of the section, got other attributes or text.
    void Changed(const tinyxml2::XMLElement* section, const tinyxml2::XMLElement* element);

    const std::string& Text() const { return m_text; }
    // True while the text is kept in pieces (false: printed whole).
    bool Spliced() const { return m_spliced; }
    // The lowest byte offset changed since the last call (everything after
    // it may have changed too); npos when nothing changed.
    size_t TakeChangedFrom();

private:
    struct Section {
        const tinyxml2::XMLElement* element;
        size_t start;                 // offset of the section's piece in the text
        std::vector<size_t> items;    // offsets of the items' pieces, from start
    };

    bool BuildPieces();
    void PrintWholeAgain();
    Section* FindSection(const tinyxml2::XMLElement* section);
    size_t SectionEnd(size_t index) const;
    size_t ClosingSize(const Section& section) const;
    // Replaces [from, to) of the text and moves every later offset.
    void Replace(size_t sectionIndex, size_t from, size_t to, const std::string& bytes);

    const tinyxml2::XMLDocument* m_document = nullptr;
    std::string m_text;
    std::vector<Section> m_sections;
    size_t m_footerSize = 0;  // the root's closing tag and line end
    bool m_spliced = false;
    size_t m_changedFrom = 0;
};
