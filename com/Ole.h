// The COM and automation declarations that the lean Windows header leaves out.
#pragma once

#include "base/Win.h"

#include <ole2.h>
#include <oleauto.h>
