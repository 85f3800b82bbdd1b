#include "StepTestSupport.h"

#include <tinyxml2.h>

#include "logs/Log.h"
#include "logs/UninstallXmlLog.h"
#include "support/TestSupport.h"
#include "system/TextConvert.h"

std::vector<LoggedItem> ReadResultLogSection(const char* section)
{
    std::vector<LoggedItem> items;
    tinyxml2::XMLDocument doc;
    if (!LoadXmlFile(Utf8ToWide(UninstallXmlLog::GetInstance().GetFilePath()), doc))
        return items;
    const tinyxml2::XMLElement* root = doc.RootElement();
    const tinyxml2::XMLElement* sectionElement = root ? root->FirstChildElement(section) : nullptr;
    if (sectionElement == nullptr)
        return items;
    for (auto* e = sectionElement->FirstChildElement(); e != nullptr; e = e->NextSiblingElement()) {
        LoggedItem item;
        item.name = e->Name();
        item.text = e->GetText() ? e->GetText() : "";
        item.status = e->Attribute("Status") ? e->Attribute("Status") : "";
        item.errorId = e->Attribute("ErrorID") ? e->Attribute("ErrorID") : "";
        items.push_back(item);
    }
    return items;
}

LogMark::LogMark()
{
    // Creating the logs first keeps their start lines out of the mark.
    GetDebugLog();
    UninstallXmlLog::GetInstance();
    m_textSize = ReadFileBytes(GetDebugLog().GetFilePath()).size();
    m_processItems = ReadResultLogSection("Processes").size();
    m_serviceItems = ReadResultLogSection("Services").size();
}

std::vector<std::string> LogMark::NewTextLines() const
{
    std::vector<std::string> lines;
    const std::string bytes = ReadFileBytes(GetDebugLog().GetFilePath());
    if (bytes.size() <= m_textSize)
        return lines;
    const std::string text = bytes.substr(m_textSize);
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find("\r\n", start);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(start, end - start);
        const size_t tab = line.find('\t');
        lines.push_back(tab == std::string::npos ? line : line.substr(tab + 1));
        start = end + 2;
    }
    return lines;
}

std::vector<LoggedItem> LogMark::NewItems(const char* section) const
{
    std::vector<LoggedItem> items = ReadResultLogSection(section);
    const size_t skip = std::string(section) == "Processes" ? m_processItems
                        : std::string(section) == "Services" ? m_serviceItems
                                                             : 0;
    if (items.size() <= skip)
        return {};
    return std::vector<LoggedItem>(items.begin() + static_cast<long>(skip), items.end());
}

std::wstring TestProgramFolder()
{
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder = path;
    return folder.substr(0, folder.find_last_of(L"\\/") + 1);
}
