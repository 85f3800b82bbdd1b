// The result log's text kept in pieces: after any sequence of changes it is
// exactly the whole print, and the reported first changed offset is never
// past the first byte that really changed.
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <tinyxml2.h>

#include "logs/XmlLogText.h"

using tinyxml2::XMLDocument;
using tinyxml2::XMLElement;

namespace {

const char* const SectionNames[] = {"MetaData", "Reboots", "MetaInstaller", "MsiProducts", "Processes",
                                    "Services", "Files",   "Drivers",       "Registries",  "AdditionalSteps"};
const char* const ItemNames[] = {"registry", "File", "service", "msi", "EndTime"};

// Texts that print differently: entities, line ends, tabs, UTF-8, nothing.
std::string RandomText(std::mt19937& random)
{
    const char* const parts[] = {"C:\\Program Files\\Halvora", "<&>\"'", "line\nnext", "cr\rlf\r\n", "\t",
                                 "\xC3\xA9\xE4\xB8\xAD", "", "x", "HKLM\\SOFTWARE\\Halvora\\Zorander"};
    std::string text;
    for (int i = random() % 4; i >= 0; --i)
        text += parts[random() % (sizeof(parts) / sizeof(parts[0]))];
    return text;
}

class Checker {
public:
    explicit Checker(XmlLogText& text) : m_text(text), m_previous(text.Text()) {}
    // The text equals the whole print; every byte before the reported
    // offset is the same as before the change.
    void Check(const XMLDocument& doc, const std::string& step)
    {
        const std::string whole = XmlLogText::PrintWhole(doc);
        ASSERT_EQ(whole, m_text.Text()) << step;
        const size_t from = m_text.TakeChangedFrom();
        if (from == std::string::npos) {
            EXPECT_EQ(m_previous, whole) << step << ": a change was not reported";
        } else {
            ASSERT_LE(from, whole.size()) << step;
            ASSERT_LE(from, m_previous.size()) << step;
            EXPECT_EQ(m_previous.substr(0, from), whole.substr(0, from)) << step;
        }
        m_previous = whole;
    }

private:
    XmlLogText& m_text;
    std::string m_previous;
};

XMLElement* NewItem(XMLDocument& doc, std::mt19937& random)
{
    XMLElement* item = doc.NewElement(ItemNames[random() % 5]);
    if (random() % 4 != 0)
        item->SetText(RandomText(random).c_str());
    for (int a = random() % 4; a > 0; --a)
        item->SetAttribute(random() % 2 ? "Status" : "Message", RandomText(random).c_str());
    if (random() % 10 == 0)
        item->InsertEndChild(doc.NewElement("nested"))->ToElement()->SetText("inner");
    return item;
}

// One random change of the kind the result log makes; returns its name.
std::string RandomChange(XMLDocument& doc, XmlLogText& text, std::mt19937& random)
{
    XMLElement* section = doc.RootElement()->FirstChildElement(SectionNames[random() % 10]);
    switch (random() % 4) {
    case 0:
    case 1: {
        XMLElement* item = NewItem(doc, random);
        section->InsertEndChild(item);
        text.Appended(section, item);
        return std::string("append to ") + section->Name();
    }
    case 2: {
        // The last item of a name, often not the section's last child.
        XMLElement* item = section->LastChildElement(ItemNames[random() % 5]);
        if (item == nullptr)
            return "none";
        item->DeleteChildren();
        item->SetText(RandomText(random).c_str());
        text.Changed(section, item);
        return std::string("set text in ") + section->Name();
    }
    default: {
        XMLElement* item = section->LastChildElement();
        if (item == nullptr)
            return "none";
        if (random() % 3 == 0)
            item->DeleteAttribute("Status");
        else
            item->SetAttribute(random() % 2 ? "DoneTime" : "Status", RandomText(random).c_str());
        text.Changed(section, item);
        return std::string("attributes in ") + section->Name();
    }
    }
}

void NewLayout(XMLDocument& doc)
{
    XMLElement* root = doc.NewElement("Uninstall");
    doc.InsertEndChild(root);
    for (const char* name : SectionNames)
        root->InsertEndChild(doc.NewElement(name));
}

} // namespace

TEST(ResultLogTextPieces, RandomChangesAlwaysGiveTheWholePrint)
{
    for (unsigned seed = 1; seed <= 40; ++seed) {
        std::mt19937 random(seed);
        XMLDocument doc;
        NewLayout(doc);
        XmlLogText text;
        text.Reset(doc);
        ASSERT_TRUE(text.Spliced());
        Checker checker(text);
        checker.Check(doc, "new");
        for (int step = 0; step < 150; ++step) {
            const std::string change = RandomChange(doc, text, random);
            checker.Check(doc, "seed " + std::to_string(seed) + " step " + std::to_string(step) + ": " + change);
            if (::testing::Test::HasFatalFailure())
                return;
        }
        EXPECT_TRUE(text.Spliced()) << "seed " << seed << ": the layout stays in pieces";
    }
}

TEST(ResultLogTextPieces, ALoadedDocumentContinuesInPieces)
{
    std::mt19937 random(77u);
    XMLDocument first;
    NewLayout(first);
    XmlLogText text;
    text.Reset(first);
    for (int step = 0; step < 60; ++step)
        RandomChange(first, text, random);
    // As a resumed run reads the file back (CR LF and all).
    XMLDocument loaded;
    ASSERT_EQ(tinyxml2::XML_SUCCESS, loaded.Parse(text.Text().c_str(), text.Text().size()));
    XmlLogText continued;
    continued.Reset(loaded);
    EXPECT_TRUE(continued.Spliced());
    EXPECT_EQ(0u, continued.TakeChangedFrom()) << "a new text is all changed";
    Checker checker(continued);
    for (int step = 0; step < 100; ++step) {
        const std::string change = RandomChange(loaded, continued, random);
        checker.Check(loaded, "step " + std::to_string(step) + ": " + change);
        if (::testing::Test::HasFatalFailure())
            return;
    }
}

// Documents of another shape are printed whole on every change, with the
// same result.
TEST(ResultLogTextPieces, OtherShapesArePrintedWhole)
{
    const char* const documents[] = {
        "<?xml version=\"1.0\"?><Uninstall><MetaData/><Files/></Uninstall>",
        "<!-- note --><Uninstall><MetaData/><Files/></Uninstall>",
        "<Uninstall Version=\"2\"><MetaData/><Files/></Uninstall>",
        "<Uninstall><MetaData Kind=\"x\"/><Files/></Uninstall>",
        "<Uninstall><MetaData>loose text<OS>x</OS></MetaData><Files/></Uninstall>",
        "<Uninstall><MetaData><!-- c --><OS>x</OS></MetaData><Files/></Uninstall>",
        "\xEF\xBB\xBF<Uninstall><MetaData/><Files/></Uninstall>",
    };
    for (const char* source : documents) {
        XMLDocument doc;
        ASSERT_EQ(tinyxml2::XML_SUCCESS, doc.Parse(source)) << source;
        XmlLogText text;
        text.Reset(doc);
        EXPECT_FALSE(text.Spliced()) << source;
        Checker checker(text);
        std::mt19937 random(3u);
        for (int step = 0; step < 20; ++step) {
            XMLElement* section = doc.RootElement()->FirstChildElement(step % 2 ? "Files" : "MetaData");
            XMLElement* item = NewItem(doc, random);
            section->InsertEndChild(item);
            text.Appended(section, item);
            checker.Check(doc, source);
            item->SetAttribute("Status", RandomText(random).c_str());
            text.Changed(section, item);
            checker.Check(doc, source);
        }
    }
}

// A change the pieces do not match (an element that is not where the text
// expects it) is printed whole instead of spliced wrongly.
TEST(ResultLogTextPieces, UnexpectedChangesFallBackToTheWholePrint)
{
    XMLDocument doc;
    NewLayout(doc);
    XmlLogText text;
    text.Reset(doc);
    Checker checker(text);
    XMLElement* files = doc.RootElement()->FirstChildElement("Files");
    XMLElement* first = doc.NewElement("File");
    files->InsertEndChild(first);
    text.Appended(files, first);
    checker.Check(doc, "first");
    // Inserted at the front, reported as appended.
    XMLElement* front = doc.NewElement("File");
    front->SetText("front");
    files->InsertFirstChild(front);
    text.Appended(files, front);
    checker.Check(doc, "front");
    EXPECT_FALSE(text.Spliced());
    // From now on whole prints, still right.
    XMLElement* more = doc.NewElement("File");
    files->InsertEndChild(more);
    text.Appended(files, more);
    checker.Check(doc, "more");
}
