#pragma once
// How the removal steps record what they removed: one result-log item per
// attempt, in the section and element of the kind of thing removed, with the
// removal's result code (0 "Succeeded"; any other code "Failed" with the code
// and its system text). A step body states what it removed and the code it
// got; the item is built here.
//
//     RecordRemoval(RemovalKind::Service, serviceName, code);
//     RecordRemoval(RemovalKind::Registry, itemName, code, IfAlreadyGone::RecordNothing);
#include <string>

class UninstallXmlLog;

// The section and element name of one kind of removal.
struct RemovalKind {
    const char* section;
    const char* elementName;

    static const RemovalKind Process;   // "Processes" / "process"
    static const RemovalKind Service;   // "Services" / "service"
    static const RemovalKind Driver;    // "Drivers" / "driver"
    static const RemovalKind Registry;  // "Registries" / "registry"
};

// What a removal that found its target already gone records. Where a step
// does not say otherwise, the code is recorded like any other.
enum class IfAlreadyGone {
    RecordCode,     // record the code (a "Failed" item)
    RecordNothing,  // record no item at all
};

// ERROR_FILE_NOT_FOUND (2) and ERROR_SERVICE_DOES_NOT_EXIST (1060): the
// thing to remove is not there (any more).
bool IsAlreadyGone(long code);

// Records one removal in the process-wide result log ("UninstallLog.xml").
// The name is the item's text (wide names are stored as UTF-8). Returns true
// when an item was added, false when nothing was recorded (an already gone
// target with IfAlreadyGone::RecordNothing, or a result log that refused the
// item).
bool RecordRemoval(const RemovalKind& kind, const std::wstring& name, long code,
                   IfAlreadyGone ifGone = IfAlreadyGone::RecordCode);
bool RecordRemoval(const RemovalKind& kind, const std::string& name, long code,
                   IfAlreadyGone ifGone = IfAlreadyGone::RecordCode);
// The same into a given result log (tests, tools).
bool RecordRemoval(UninstallXmlLog& log, const RemovalKind& kind, const std::string& name, long code,
                   IfAlreadyGone ifGone = IfAlreadyGone::RecordCode);
