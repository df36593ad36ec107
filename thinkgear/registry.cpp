#include "thinkgear/registry.h"

#include "link/thinkgear.h"

namespace tg {

namespace {

Connection gConnections[kMaxConnections];

}  // namespace

int AllocateConnection(void) {
  for (int id = 0; id < kMaxConnections; ++id) {
    if (!gConnections[id].inUse) {
      gConnections[id].inUse = true;
      return id;
    }
  }
  return -1;
}

Connection *FindConnection(int connectionId) {
  if (connectionId < 0 || connectionId >= kMaxConnections || !gConnections[connectionId].inUse) {
    return nullptr;
  }
  return &gConnections[connectionId];
}

int ValueSlot(int dataType) {
  if (dataType >= TG_DATA_POOR_SIGNAL && dataType <= TG_DATA_GAMMA2) {
    return dataType;
  }
  if (dataType == TG_DATA_BLINK_STRENGTH) {
    return 13;
  }
  return -1;
}

}  // namespace tg
