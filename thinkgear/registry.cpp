#include "thinkgear/registry.h"

#include <atomic>

#include "link/thinkgear.h"
#include "thinkgear/os.h"

namespace tg {

static_assert(kMaxConnections == kLocks, "one lock per connection id");

namespace {

struct Slot {
  std::atomic<bool> inUse{false};  // the id was handed out; read without the lock
  Connection connection;           // read and changed under the id's lock
};

Slot gSlots[kMaxConnections];

}  // namespace

int AllocateConnection(void) {
  for (int id = 0; id < kMaxConnections; ++id) {
    bool taken = false;
    if (gSlots[id].inUse.compare_exchange_strong(taken, true)) {
      return id;
    }
  }
  return TG_ID_NONE_LEFT;
}

LockedConnection::LockedConnection(int connectionId) : connection_(nullptr), id_(connectionId) {
  if (connectionId < 0 || connectionId >= kMaxConnections || !gSlots[connectionId].inUse.load()) {
    return;
  }
  TakeLock(connectionId);
  connection_ = &gSlots[connectionId].connection;
}

LockedConnection::~LockedConnection() {
  if (connection_ != nullptr) {
    ReleaseLock(id_);
  }
}

}  // namespace tg
