#include "steps/RemovalRecord.h"

#include <windows.h>

#include "logs/UninstallXmlLog.h"
#include "logs/XmlLogItem.h"
#include "system/TextConvert.h"

const RemovalKind RemovalKind::Process = {"Processes", "process"};
const RemovalKind RemovalKind::Service = {"Services", "service"};
const RemovalKind RemovalKind::Driver = {"Drivers", "driver"};
const RemovalKind RemovalKind::Registry = {"Registries", "registry"};

bool IsAlreadyGone(long code)
{
    return code == ERROR_FILE_NOT_FOUND || code == ERROR_SERVICE_DOES_NOT_EXIST;
}

bool RecordRemoval(UninstallXmlLog& log, const RemovalKind& kind, const std::string& name, long code,
                   IfAlreadyGone ifGone)
{
    if (ifGone == IfAlreadyGone::RecordNothing && IsAlreadyGone(code))
        return false;
    return log.AddItem(CommonXmlLogItem(static_cast<int>(code), kind.section, kind.elementName, name));
}

bool RecordRemoval(const RemovalKind& kind, const std::string& name, long code, IfAlreadyGone ifGone)
{
    return RecordRemoval(UninstallXmlLog::GetInstance(), kind, name, code, ifGone);
}

bool RecordRemoval(const RemovalKind& kind, const std::wstring& name, long code, IfAlreadyGone ifGone)
{
    return RecordRemoval(kind, WideToUtf8(name), code, ifGone);
}
