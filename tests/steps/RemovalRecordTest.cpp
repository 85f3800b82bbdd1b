// The removals' one way of recording what they removed.
#include <windows.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <tinyxml2.h>

#include "logs/LogFolder.h"
#include "logs/UninstallXmlLog.h"
#include "steps/RemovalRecord.h"
#include "support/TestSupport.h"
#include "system/ErrorText.h"

using tinyxml2::XMLDocument;
using tinyxml2::XMLElement;

namespace {

struct Item {
    std::string text, status, errorId, message;
};

std::vector<Item> ItemsOnDisk(const std::wstring& path, const char* section, const char* element)
{
    std::vector<Item> items;
    XMLDocument document;
    if (!LoadXmlFile(path, document) || document.RootElement() == nullptr)
        return items;
    const XMLElement* s = document.RootElement()->FirstChildElement(section);
    for (const XMLElement* e = s ? s->FirstChildElement(element) : nullptr; e; e = e->NextSiblingElement(element)) {
        auto attribute = [e](const char* name) {
            const char* value = e->Attribute(name);
            return std::string(value ? value : "<absent>");
        };
        items.push_back({e->GetText() ? e->GetText() : "", attribute("Status"), attribute("ErrorID"),
                         attribute("Message")});
    }
    return items;
}

TEST(RemovalRecord, OneItemPerRemovalInTheSectionOfItsKind)
{
    ScopedTempDir folder(L"removals");
    SetLogFolderOverride(folder.Path());
    const std::wstring path = folder.Path() + L"ZraCleanup\\UninstallLog.xml";
    {
        UninstallXmlLog log(L"UninstallLog.xml", false);
        EXPECT_TRUE(RecordRemoval(log, RemovalKind::Process, "agent.exe", 0));
        EXPECT_TRUE(RecordRemoval(log, RemovalKind::Service, "HvrAgent", 5));
        EXPECT_TRUE(RecordRemoval(log, RemovalKind::Driver, "hvrdrv", 1060));
        // Already gone: recorded as a failure unless the removal says that
        // nothing is recorded then.
        EXPECT_FALSE(RecordRemoval(log, RemovalKind::Registry, "HKLM\\Software\\Gone", 2, IfAlreadyGone::RecordNothing));
        EXPECT_FALSE(RecordRemoval(log, RemovalKind::Service, "GoneService", 1060, IfAlreadyGone::RecordNothing));
        EXPECT_TRUE(RecordRemoval(log, RemovalKind::Registry, "HKLM\\Software\\X--value:Foo", 0,
                                  IfAlreadyGone::RecordNothing));
        EXPECT_TRUE(RecordRemoval(log, RemovalKind::Registry, "HKLM\\Software\\Denied", 5,
                                  IfAlreadyGone::RecordNothing));
        EXPECT_TRUE(RecordRemoval(log, RemovalKind::Registry, "HKLM\\Software\\Search", -1,
                                  IfAlreadyGone::RecordNothing));
    }
    SetLogFolderOverride(L"");

    const std::vector<Item> processes = ItemsOnDisk(path, "Processes", "process");
    ASSERT_EQ(1u, processes.size());
    EXPECT_EQ("agent.exe", processes[0].text);
    EXPECT_EQ("Succeeded", processes[0].status);
    EXPECT_EQ("<absent>", processes[0].errorId);

    const std::vector<Item> services = ItemsOnDisk(path, "Services", "service");
    ASSERT_EQ(1u, services.size());
    EXPECT_EQ("HvrAgent", services[0].text);
    EXPECT_EQ("Failed", services[0].status);
    EXPECT_EQ("5", services[0].errorId);
    EXPECT_EQ(GetWin32ErrorText(5), services[0].message);

    const std::vector<Item> drivers = ItemsOnDisk(path, "Drivers", "driver");
    ASSERT_EQ(1u, drivers.size());
    EXPECT_EQ("Failed", drivers[0].status);
    EXPECT_EQ("1060", drivers[0].errorId);

    const std::vector<Item> registry = ItemsOnDisk(path, "Registries", "registry");
    ASSERT_EQ(3u, registry.size());
    EXPECT_EQ("HKLM\\Software\\X--value:Foo", registry[0].text);
    EXPECT_EQ("Succeeded", registry[0].status);
    EXPECT_EQ("5", registry[1].errorId);
    EXPECT_EQ("-1", registry[2].errorId);
}

TEST(RemovalRecord, AlreadyGoneCodes)
{
    EXPECT_TRUE(IsAlreadyGone(ERROR_FILE_NOT_FOUND));
    EXPECT_TRUE(IsAlreadyGone(ERROR_SERVICE_DOES_NOT_EXIST));
    for (long code : {0L, 3L, 5L, -1L, 1062L})
        EXPECT_FALSE(IsAlreadyGone(code)) << code;
}

} // namespace
