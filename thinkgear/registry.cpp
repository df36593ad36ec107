#include "thinkgear/registry.h"

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

}  // namespace tg
