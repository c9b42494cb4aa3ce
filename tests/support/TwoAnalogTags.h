// The small plant that the batch and engine-condition tests start from: type 1 "Analog" (PV
// DOUBLE, Mode LONG), tags 1 and 2 of it with values and one display row each.
#ifndef ZEMA_TESTS_SUPPORT_TWOANALOGTAGS_H
#define ZEMA_TESTS_SUPPORT_TWOANALOGTAGS_H

#include "support/TagDbBuilder.h"

inline TagDbBuilder TwoAnalogTagsDb() {
  TagDbBuilder db;
  db.Type(1, "Analog", 10, 100, {{"PV", "DOUBLE"}, {"Mode", "LONG"}})
      .Tag(1, "TIC-101", "first", 1)
      .Tag(2, "TIC-102", "second", 1)
      .Values("Analog", 1, {"1.5", "2"})
      .Values("Analog", 2, {"2.5", "3"})
      .Hmi(1, "PV", 100, 0, "degC", 1)
      .Hmi(2, "PV", 50, -5, "bar", 2);
  return db;
}

#endif
