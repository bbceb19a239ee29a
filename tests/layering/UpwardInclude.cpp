// Built only by the layering test, inside the sets layer: the patch layer is above it.
#include "patch/PatchHost.h"
