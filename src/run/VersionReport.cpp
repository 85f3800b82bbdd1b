#include "run/VersionReport.h"

#include <vector>

#include "system/Format.h"
#include "system/TextConvert.h"

namespace {

// Splits at "." into at most four numbers, each read by the plain decimal
// rule (leading digits, none gives 0).
std::vector<int> SplitVersion(const std::string& text)
{
    std::vector<int> parts;
    size_t start = 0;
    while (parts.size() < 4) {
        const size_t dot = text.find('.', start);
        const std::string piece = text.substr(start, dot == std::string::npos ? std::string::npos : dot - start);
        parts.push_back(ParseLeadingInt(Utf8ToWide(piece), false));
        if (dot == std::string::npos)
            break;
        start = dot + 1;
    }
    return parts;
}

std::wstring JoinVersion(const std::vector<int>& parts)
{
    std::wstring text;
    for (size_t i = 0; i < parts.size(); ++i) {
        if (i > 0)
            text += L".";
        text += ToWideDecimal(parts[i]);
    }
    return text;
}

void ReplaceFirst(std::string& text, char from, char to)
{
    const size_t pos = text.find(from);
    if (pos != std::string::npos)
        text[pos] = to;
}

} // namespace

std::wstring BuildVersionReport(const std::string& latestVersionText, const std::string& ownVersion)
{
    // A text too short to hold four numbers reads as 0.0.0.0 (unknown).
    std::string latestText = latestVersionText.size() >= 7 ? latestVersionText + "\r\n" : "0.0.0.0\r\n";
    ReplaceFirst(latestText, '\r', '.');
    ReplaceFirst(latestText, '\n', '.');
    const std::vector<int> latest = SplitVersion(latestText);
    const std::vector<int> own = SplitVersion(ownVersion);

    std::wstring report = L"ZRA cleanup utility version " + JoinVersion(own) + L"\n";

    bool latestIsNewer = false;
    if (latest.size() == 4 && own.size() == 4) {
        for (size_t i = 0; i < 4; ++i) {
            if (latest[i] != own[i]) {
                latestIsNewer = own[i] < latest[i];
                break;
            }
        }
    }
    if (latestIsNewer)
        report += L"There is a new version " + JoinVersion(latest) + L" available.\n";
    else if (latest.empty() || latest[0] == 0)
        report += L"Cannot connect to the network to determine the latest version.\n";
    else
        report += L"You are using the latest version.\n";
    return report;
}
