// Built only by the layering test, inside the sets layer: transfer and app are below it.
#include "app/ModGame.h"
#include "transfer/Download.h"
