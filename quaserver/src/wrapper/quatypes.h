#ifndef QUATYPES_H
#define QUATYPES_H

// The value vocabulary of the OPC UA object layer in one include.
#include "quachangestructuredatatype.h"
#include "quaenumerationentry.h"
#include "quaenums.h"
#include "qualocalizedtext.h"
#include "quanodeid.h"
#include "quaqualifiedname.h"
#include "quavalueconverter.h"

#endif // QUATYPES_H
