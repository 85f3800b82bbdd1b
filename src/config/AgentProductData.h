#pragma once

// Product data of the Halvora Zorander agent that the program needs without
// the configuration document. The document (src/config/ZraConfig.xml) lists
// the same things; the configuration tests keep the two in step.

// Upgrade code of the agent's core broker component, "Halvora Zorander
// Broker Service"; its installed version tells the release of the agent.
constexpr const wchar_t ZraBrokerUpgradeCode[] = L"{B1F27EC0-3065-5EF9-B9B3-19A7ECF13685}";

// The kernel drivers the special-version pre-step disables before the
// agent's own uninstall runs on the affected releases (service names; the
// service manager and the registry compare them without regard to case).
constexpr const wchar_t* const ZraSpecialVersionDrivers[5] = {L"HVRVMIC", L"HVRUSBHUB", L"HVRCDM", L"HVRSCARD",
                                                              L"HVRTWAIN"};

// The resource that carries the configuration document.
constexpr int ZraConfigResourceId = 107;
constexpr const wchar_t ZraConfigResourceType[] = L"XML";
