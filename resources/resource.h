// Resource identifiers of the main program.
#pragma once

#include "resources/main_window_ids.h"
#include "resources/options_ids.h"
