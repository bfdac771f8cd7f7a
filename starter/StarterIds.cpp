// Defines the GUIDs the generated header declares.
#include "com/Ole.h"

#include <initguid.h>

#include "tolvastarter_h.h"
