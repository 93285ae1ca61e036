// Symbol export for libvireo20, which is built with hidden visibility.
#pragma once

#include "kernos50/Export.h"

#define VIREO20_API KERNOS50_VISIBLE
