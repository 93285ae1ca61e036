// Symbol export for the quill20 libraries.
#pragma once

#include "kernos50/Export.h"

#define QUILL20_API KERNOS50_VISIBLE
