// The data types a connection decodes (the TG_DATA_* codes of
// link/thinkgear.h but TG_DATA_BLINK_AGE) and their names: the data log's
// (docs/logs.md), and the short one the simulator says values by
// (tools/README.md).
#ifndef NICTATE_THINKGEAR_DATA_TYPES_H
#define NICTATE_THINKGEAR_DATA_TYPES_H

#include "link/thinkgear.h"

namespace tg {

struct DataType {
  int code;
  const char *logName;
  const char *shortName;
};

const DataType kDataTypes[] = {
    {TG_DATA_POOR_SIGNAL, "POOR_SIGNAL", "poor_signal"},
    {TG_DATA_ATTENTION, "ATTENTION", "attention"},
    {TG_DATA_MEDITATION, "MEDITATION", "meditation"},
    {TG_DATA_RAW, "RAW", "raw"},
    {TG_DATA_DELTA, "DELTA", "delta"},
    {TG_DATA_THETA, "THETA", "theta"},
    {TG_DATA_ALPHA1, "ALPHA1", "low_alpha"},
    {TG_DATA_ALPHA2, "ALPHA2", "high_alpha"},
    {TG_DATA_BETA1, "BETA1", "low_beta"},
    {TG_DATA_BETA2, "BETA2", "high_beta"},
    {TG_DATA_GAMMA1, "GAMMA1", "low_gamma"},
    {TG_DATA_GAMMA2, "GAMMA2", "mid_gamma"},
    {TG_DATA_BLINK_STRENGTH, "BLINK_STRENGTH", "blink"},
};

// The data type of a code, or null for an unknown code.
inline const DataType *FindDataType(int code) {
  for (const DataType &type : kDataTypes) {
    if (type.code == code) {
      return &type;
    }
  }
  return nullptr;
}

}  // namespace tg

#endif
