// Every public header of libvireo20, for programs that want all of it at once.
#pragma once

#include "vireo20/Export.h"
#include "vireo20/sci/clusters.h"
#include "vireo20/sci/group_labels.h"
#include "vireo20/sci/group_moments.h"
#include "vireo20/sci/mp_upscaling.h"
