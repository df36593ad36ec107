// The texts nictate writes on its console, spelled out once for every test
// that holds a transcript against them. Each line ends with `eol`: "\n", or
// "\r\n" as the Windows build's C runtime writes them in text mode.
#ifndef NICTATE_TESTKIT_TRANSCRIPT_H
#define NICTATE_TESTKIT_TRANSCRIPT_H

#include <string>
#include <vector>

namespace testkit {

const char kAttention[] = "New attention value: ";
const char kBlink[] = "New eye blinking value: ";
const char kCrLf[] = "\r\n";

// Standard output's first line, and the error stream's first lines.
std::string VersionLine(int version, const char *eol = "\n");
std::string ConnectionIdLines(int id, const char *eol = "\n");
// The scan: its first line; a port's line; what a failed TG_Connect
// explains on standard output ("" for a result it does not know) and
// prints on the error stream; "Connection available..." and what the probe
// read says (nothing for a result it does not know).
std::string ScanStart(const char *eol = "\n");
std::string Attempt(int port, const char *eol = "\n");
std::string ConnectFailed(int result, const char *eol = "\n");
std::string ConnectError(int port, int result, const char *eol = "\n");
std::string Probed(int result, const char *eol = "\n");
// The pause before the program ends.
std::string Pause(const char *eol = "\n");

// Whole transcripts: no port opens (version, then all 17 fail), or the
// device is on COM<com> and every port before it fails to open.
std::string NoDeviceOut(int version, const char *eol = "\n");
std::string NoDeviceErr(int id, const char *eol = "\n");
std::string FoundOut(int version, int com, const char *eol = "\n");
std::string FoundErr(int id, int com, const char *eol = "\n");

// Every value line ("New ... value: ...") in order, marks before it left out.
std::vector<std::string> ValueLines(const std::string &out);
// The values printed after a label, as printed ("53.000000").
std::vector<std::string> Printed(const std::string &out, const std::string &label);
// A value as the program prints it.
std::string Printed(double value);

}  // namespace testkit

#endif
