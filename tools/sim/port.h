// The simulated device's port: a pseudo-terminal (tools/pty.h) published
// as COM<N> in the port map, a "comN" link, and the writes into it. A
// packet the port cannot take now is dropped whole, as a serial port drops
// what nobody reads; a replay's bytes wait instead.
#ifndef NICTATE_TOOLS_SIM_PORT_H
#define NICTATE_TOOLS_SIM_PORT_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace sim {

struct Port {
  int com;
  std::string mapDir;
  std::vector<std::string> madeDirs;  // made by us, removed at the end
  std::string link;                   // mapDir/comN
  int master = -1;
  int slave = -1;  // held so that writes before anyone opens the port are kept
  std::string path;
  bool linked = false;
  std::string pending;  // the tail of a packet the port took only in part
  uint64_t dropped = 0;
  bool failed = false;
};

// Makes dir and its missing parents, noting each one made.
bool MakeDirs(const std::string &dir, std::vector<std::string> *made);

// A new pseudo-terminal, published: false, said on standard error, when it
// cannot be.
bool PlugInPort(Port *port);
// The device goes: the link removed (if it is still ours), the terminal
// closed.
void UnplugPort(Port *port);
// Removes the link if it is still ours.
void RemoveLink(Port *port);
void ClosePty(Port *port);

// Sends bytes that belong together (a packet, a burst of noise). True when
// the port took them; they are dropped whole while it is full or unplugged.
bool Send(Port *port, const uint8_t *bytes, size_t count);
// Sends the bytes whole: what the port cannot take now waits in pending.
// False when the port is unplugged or failed.
bool SendWhole(Port *port, const uint8_t *bytes, size_t count);
// Writes what is left of a packet the port took in part.
void FlushPending(Port *port);
// Says how many packets were dropped since it last said so.
void ReportDropped(Port *port);

}  // namespace sim

#endif
