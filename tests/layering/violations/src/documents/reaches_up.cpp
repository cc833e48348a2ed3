// A documents file that calls the bridge above it.
#include "bridge/handlers.h"
#include "documents/upload.h"
