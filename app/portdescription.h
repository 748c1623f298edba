#pragma once
// What the port dialog says about one port, in the technician's words: under
// the combo box for the chosen entry, and as each entry's tool-tip.

#include <QString>

#include "serial/portenum.h"

// One line each: what the port is, its serial number, its by-id name.
QString PortDescription(const PortInfo& port);
