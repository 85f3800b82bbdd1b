#pragma once
#include <windows.h>

#include <string>
#include <vector>

#include "config/Configuration.h"
#include "steps/BaseStep.h"

// Step 3: the uninstall of every installed Windows Installer product that
// belongs to one of the configured upgrade codes. A restart asked for by
// Windows Installer or by the meta-installer step ends the run here; it
// resumes at step 4.
class MSIStep : public BaseStep {
public:
    // Takes the product list of the process-wide configuration.
    MSIStep(int number, const std::string& name);
    // Takes the given product list.
    MSIStep(int number, const std::string& name, std::vector<ProductEntry> products);
    void Run(RunOptions* options) override;

    // The step body: uninstalls the related products of every upgrade code
    // in list order and records one "msi" item per product.
    void CallMSI();

    const std::vector<ProductEntry>& GetProducts() const { return m_products; }

    // The properties every uninstall is given: no restart manager, a
    // needed restart reported as 3010/1641 and never taken.
    static const wchar_t* const UninstallCommandLine;

private:
    std::vector<ProductEntry> m_products;
    bool m_firstFoundPending = true;
};

// The process-wide flag "Windows Installer asked for a restart".
void SetMsiRebootNeeded(bool needed);
bool IsMsiRebootNeeded();

// The product codes Windows Installer lists for an upgrade code, in its
// enumeration order. result is ERROR_NO_MORE_ITEMS when the list is
// complete, otherwise the enumeration error that ended it.
std::vector<std::wstring> EnumRelatedProducts(const std::wstring& upgradeCode, UINT& result);

// The "VersionString" of an installed per-machine product (UTF-8), empty
// when it cannot be read.
std::string GetMsiProductVersion(const std::wstring& productCode);

// The one place where a Windows Installer product is uninstalled. Returns
// the Windows Installer result (0, 1641 and 3010 are successes).
UINT UninstallMsiProduct(const std::wstring& productCode);
