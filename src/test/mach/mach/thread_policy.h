// Test-only stand-in: the policy types live in the stand-in <mach/mach.h>.
#pragma once

#include <mach/mach.h>
