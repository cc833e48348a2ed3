// A portable base file with a platform call in it.
#include <string>
#include <unistd.h>
