// Compiled on its own with -m32 and with the native compiler: the static assertions of the public
// header fix every offset and size of the records that cross the interface.
#include "ZEMATagAcs.h"
#include "oleauto.h"

static_assert(sizeof(VARIANT) == 16, "VARIANT");
static_assert(offsetof(VARIANT, lVal) == 8, "VARIANT payload");
static_assert(offsetof(DECIMAL, scale) == 2 && offsetof(DECIMAL, sign) == 3 &&
                  offsetof(DECIMAL, Hi32) == 4 && offsetof(DECIMAL, Lo64) == 8,
              "DECIMAL");

int main() { return 0; }
