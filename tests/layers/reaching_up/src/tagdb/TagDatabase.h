// A header of the tag database layer, for the layer check's own test.
#include "xml/ReachesUp.h"
