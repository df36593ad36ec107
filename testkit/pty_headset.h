// A headset on a pseudo-terminal (tools/pty.h): the test writes the
// device's bytes into the master side; the slave side is the serial port,
// reached by its path or published as <ports>/com<N> in a port map (a Wine
// prefix's dosdevices is one too). Unplugging closes both sides and removes
// the link, so an open port fails its reads and its name leads nowhere.
#ifndef NICTATE_TESTKIT_PTY_HEADSET_H
#define NICTATE_TESTKIT_PTY_HEADSET_H

#include <cstdint>
#include <string>
#include <vector>

namespace testkit {

class PtyHeadset {
 public:
  PtyHeadset() = default;
  ~PtyHeadset() { Unplug(); }
  PtyHeadset(const PtyHeadset &) = delete;
  PtyHeadset &operator=(const PtyHeadset &) = delete;

  // A new pseudo-terminal, raw, its slave side held open here so that bytes
  // written before the port is opened wait for the reader. Its speed is
  // 38400 baud, which no opener here asks for (see LineSetUp). False, with
  // error() saying why, on any failure.
  bool Open();
  // Open(), then <ports>/com<com> linked to it (replacing any link there at
  // once).
  bool Plug(const std::string &ports, int com);
  // The device goes away.
  void Unplug();

  // Writes all the bytes, waiting while the terminal is full (10 s at most).
  bool Send(const std::vector<uint8_t> &bytes);
  // The line's speed (a B* constant of <termios.h>; 0 when it cannot be
  // read), and whether an opener has set it.
  unsigned Speed() const;
  bool LineSetUp() const;

  int master() const { return master_; }  // non-blocking
  const std::string &path() const { return path_; }
  const std::string &error() const { return error_; }

 private:
  int master_ = -1;
  int slave_ = -1;
  std::string path_;
  std::string link_;
  std::string error_;
};

}  // namespace testkit

#endif
