// The XML layer reaching up into the tag database layer: the layer check must refuse it.
#include "xml/ReachesUp.h"
#include "tagdb/TagDatabase.h"
