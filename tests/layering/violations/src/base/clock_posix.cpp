// The same call in a backend file is where it belongs.
#include <unistd.h>
