// Built only by the layering test, inside the sets layer: transfer and app are below it.
#include "base/ModGame.h"
#include "transfer/Download.h"
