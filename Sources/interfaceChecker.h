#pragma once

#include "InterfaceData.h"

#include <memory>

// Lists the interfaces the user may share from or to.
class interfaceChecker
{
public:
    static interfaceChecker &sharedInstance();

    // A fresh list: modem ports, the modem/PPPoE entry, then Ethernet interfaces.
    std::unique_ptr<InterfaceData> getInterfaceData() const;

private:
    interfaceChecker() = default;
};
