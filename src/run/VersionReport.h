#pragma once
#include <string>

// The text printed by /version: the running version and how it compares
// with the latest published one (empty latest text: not reachable).
std::wstring BuildVersionReport(const std::string& latestVersionText, const std::string& ownVersion);
