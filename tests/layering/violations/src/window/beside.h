// A window file that leans on a neighbour of its own floor.
#include "printer/printer_service.h"
