// The printer's own libraries are portable there, and nowhere else.
#include <pappl/pappl.h>
#include <glib.h>
