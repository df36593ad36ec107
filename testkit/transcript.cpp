#include "testkit/transcript.h"

#include <cstdio>

namespace testkit {

namespace {

const int kLastPort = 16;

std::string PortName(int port) { return "\\\\.\\COM" + std::to_string(port); }

}  // namespace

std::string VersionLine(int version, const char *eol) {
  return "ThinkGear DLL version: " + std::to_string(version) + eol;
}

std::string ConnectionIdLines(int id, const char *eol) {
  return "ThinkGear Connection ID is: " + std::to_string(id) + "." + eol + eol;
}

std::string ScanStart(const char *eol) {
  return std::string("Scanning COM ports 0 to 16...") + eol;
}

std::string Attempt(int port, const char *eol) {
  return "ok" + PortName(port) + "trying to connect on" + PortName(port) + eol;
}

std::string ConnectFailed(int result, const char *eol) {
  const char *why[] = {"-1 connectionId does not refer to a valid ThinkGear Connection ID handle.",
                       ("-2 serialPortName could not be opened as a serial communication port "
                        "for any reason."),
                       "-3 serialBaudrate is not a valid TG_BAUD_* value.",
                       "-4 serialDataFormat is not a valid TG_STREAM_* type."};
  return result < -4 || result > -1
             ? ""
             : std::string("FAILED connection (") + why[-1 - result] + ")" + eol;
}

std::string ConnectError(int port, int result, const char *eol) {
  return std::to_string(port) + "ERROR: TG_Connect() returned " + std::to_string(result) + "." +
         eol;
}

std::string Probed(int result, const char *eol) {
  const char *why[] = {"Invalid connection ID", "0 bytes on the stream", "I/O error occured"};
  const std::string said = result >= 0   ? "OK"
                           : result < -3 ? ""
                                         : std::string("FAILED reading (") + why[-1 - result] + ")";
  return std::string("Connection available...") + eol + (said.empty() ? "" : said + eol);
}

std::string Pause(const char *eol) { return std::string(eol) + "Press the ENTER key..." + eol; }

namespace {

// The transcript up to port `upTo`, every port before it failing to open.
std::string FailingOut(int version, int upTo, const char *eol) {
  std::string out = VersionLine(version, eol) + ScanStart(eol);
  for (int port = 0; port < upTo; ++port) {
    out += Attempt(port, eol) + ConnectFailed(-2, eol);
  }
  return out;
}

std::string FailingErr(int id, int upTo, const char *eol) {
  std::string err = ConnectionIdLines(id, eol);
  for (int port = 0; port < upTo; ++port) {
    err += ConnectError(port, -2, eol);
  }
  return err;
}

}  // namespace

std::string NoDeviceOut(int version, const char *eol) {
  return FailingOut(version, kLastPort + 1, eol) + "connection could not be established" +
         Pause(eol);
}

std::string NoDeviceErr(int id, const char *eol) { return FailingErr(id, kLastPort + 1, eol); }

std::string FoundOut(int version, int com, const char *eol) {
  return FailingOut(version, com, eol) + Attempt(com, eol) + Probed(1, eol) +
         "connection established";
}

std::string FoundErr(int id, int com, const char *eol) {
  return FailingErr(id, com, eol) + std::to_string(com);
}

std::vector<std::string> ValueLines(const std::string &out) {
  std::vector<std::string> values;
  for (size_t end, start = 0; (end = out.find('\n', start)) != std::string::npos; start = end + 1) {
    const size_t at = out.find("New ", start);
    if (at < end) {
      values.push_back(out.substr(at, end - at));
    }
  }
  return values;
}

std::vector<std::string> Printed(const std::string &out, const std::string &label) {
  std::vector<std::string> values;
  for (size_t at = out.find(label); at != std::string::npos; at = out.find(label, at + 1)) {
    const size_t start = at + label.size();
    const size_t end = out.find('\n', start);
    if (end == std::string::npos) {
      break;  // not a whole line yet
    }
    values.push_back(out.substr(start, end - start));
  }
  return values;
}

std::string Printed(double value) {
  char text[64];
  std::snprintf(text, sizeof text, "%f", value);
  return text;
}

}  // namespace testkit
