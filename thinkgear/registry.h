// The connection registry: a fixed table of connections, one per id, each
// with its lock.
#ifndef NICTATE_THINKGEAR_REGISTRY_H
#define NICTATE_THINKGEAR_REGISTRY_H

#include "thinkgear/connection.h"

namespace tg {

const int kMaxConnections = 128;

// Takes a free id, or returns TG_ID_NONE_LEFT when every id is taken. Each
// id is handed out once, whatever the threads calling.
int AllocateConnection(void);

// An id's connection, locked for the length of one call: calls on one id
// wait for each other, calls on different ids never do.
class LockedConnection {
 public:
  // Takes the id's lock, when the id was handed out.
  explicit LockedConnection(int connectionId);
  ~LockedConnection();
  LockedConnection(const LockedConnection &) = delete;
  LockedConnection &operator=(const LockedConnection &) = delete;

  // The connection, or null for an id that was never handed out.
  Connection *get() const { return connection_; }

 private:
  Connection *connection_;
  int id_;
};

}  // namespace tg

#endif
