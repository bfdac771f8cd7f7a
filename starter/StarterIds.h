// Identifiers of the Starter class, its interface and its type library.
#pragma once

#include "com/Ole.h"

#include "tolvastarter_h.h"
