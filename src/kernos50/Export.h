// Symbol export for the shared libraries, which are built with hidden visibility.
#pragma once

#define KERNOS50_VISIBLE __attribute__((visibility("default")))
