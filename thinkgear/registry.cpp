#include "thinkgear/registry.h"

#include "link/thinkgear.h"
#include "thinkgear/os.h"

namespace tg {

static_assert(kMaxConnections == kLocks, "one lock per connection id");

namespace {

Connection gConnections[kMaxConnections];

}  // namespace

int AllocateConnection(void) {
  for (int id = 0; id < kMaxConnections; ++id) {
    bool taken = false;
    if (gConnections[id].inUse.compare_exchange_strong(taken, true)) {
      return id;
    }
  }
  return TG_ID_NONE_LEFT;
}

HeldConnection::HeldConnection(int connectionId) : connection_(nullptr), id_(connectionId) {
  if (connectionId < 0 || connectionId >= kMaxConnections ||
      !gConnections[connectionId].inUse.load()) {
    return;
  }
  TakeLock(connectionId);
  connection_ = &gConnections[connectionId];
}

HeldConnection::~HeldConnection() {
  if (connection_ != nullptr) {
    ReleaseLock(id_);
  }
}

}  // namespace tg
