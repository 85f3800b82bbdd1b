// This test program carries no configuration resource (the configuration
// tests do): extraction then logs the lookup failure, writes nothing and
// still returns the path, so that the following load fails to open it.
// (Windows answers 1812 or 1813, with or without a resource section.)
#include <windows.h>

#include <gtest/gtest.h>

#include "config/Configuration.h"
#include "logs/Log.h"
#include "logs/LogFolder.h"
#include "support/TestSupport.h"
#include "system/Format.h"

TEST(ConfigExtract, MissingResourceIsLoggedAndTheLoadFails)
{
    ScopedTempDir dir(L"zranores");
    SetLogFolderOverride(dir.Path());
    const std::string before = ReadFileBytes(GetDebugLog().GetFilePath());

    const std::wstring path = ExtractConfigFile();
    EXPECT_EQ(dir.Path() + L"ZraCleanup\\config.xml", path);
    EXPECT_FALSE(FileExists(path));
    CConfiguration config;
    EXPECT_FALSE(config.Initialize(path));

    const std::string text = ReadFileBytes(GetDebugLog().GetFilePath()).substr(before.size());
    const char* const lines[] = {"\tExtractConfigFile Entry\r\n", "\tExtractConfigFile Creating config.xml\r\n",
                                 "\tExtractConfigFile FindResource error 181", "\tExtractConfigFile Exit\r\n",
                                 "\tCConfiguration::Initialize failed. Open config file failed with 3\r\n"};
    size_t at = 0;
    for (const char* line : lines) {
        const size_t found = text.find(line, at);
        EXPECT_NE(std::string::npos, found) << line << text;
        if (found != std::string::npos)
            at = found;
    }
    SetLogFolderOverride(L"");
}
