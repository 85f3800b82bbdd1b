#pragma once
#include <windows.h>

#include <string>

// The maker's diagnostics upload service, reached under this base URL
// unless the environment variable ZRA_UPLOAD_BASE_URL names a valid http(s)
// URL (tests, staging).
extern const wchar_t* const UploadProductionBaseUrl;
extern const wchar_t* const UploadApiKey;
extern const wchar_t* const UploadUserName;  // "Anonymous"

const int UploadAttempts = 3;

// The base URL in force, without a trailing slash.
std::wstring GetUploadBaseUrl();

// Packs the text log, the result log and a manifest into a zip archive in
// the text log's folder, uploads it (up to three attempts), tells the user
// "Finished, Thank you for your support." unless quiet, and deletes the
// archive. productVersion is the removed agent's version for the manifest.
// Never fails its caller: every failure ends in log lines.
void UploadLogFilesAnonymous(bool quiet, const std::string& productVersion);

// The manifest document, one line of XML without its line end: the UTC and
// local time, the product and its version, the tool and its version, the
// user name, the site identity.
std::string FillManifest(const std::string& productVersion, const std::string& siteId);
// Writes the manifest and a line end to "manifest.xml" in the temp folder.
// Returns its path, empty when it could not be written.
std::wstring CreateManifest(const std::string& productVersion);

// The machine's anonymous site identity: the first line of "Site.txt" in
// the temp folder, or a new GUID (without braces) that is then saved there.
// "ZRACleanupTool" when neither works.
std::string GetSiteIdentity();

// The path of a file directly in the temp folder (%TEMP%); empty when the
// folder is unknown or its path too long.
std::wstring GetTempFilePath(const wchar_t* fileName);

// The archive's path for the given UTC time, in the folder (which may end
// in a backslash): folder\ZraCleanupLogs_YYYYMMDD_HHMMSSmmm.zip, made
// absolute; empty when that fails.
std::wstring GetArchivePath(const std::wstring& folder, const SYSTEMTIME& utc);
