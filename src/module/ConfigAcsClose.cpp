// CZEMAConfigAcs::Close accepts a null writer, which callers rely on. This file is
// compiled with -fno-delete-null-pointer-checks, and the pointer is passed through an empty asm
// statement so that the compiler cannot assume `this` is non-null.
#include "ZEMATagAcs.h"

void CZEMAConfigAcs::Close() {
  CZEMAConfigAcs* self = this;
  asm("" : "+r"(self));
  if (self != nullptr) delete self;
}

CZEMAConfigAcs::~CZEMAConfigAcs() = default;
