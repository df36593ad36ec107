// The port scan: finds the serial port the headset answers on.
#ifndef NICTATE_LINK_SCAN_H
#define NICTATE_LINK_SCAN_H

// Tries ports \\.\COM0 to \\.\COM16 in order: connects the id to each, and
// for a port that opens waits 10 s and probes it with one packet read. Stops
// at the first port whose probe reads 0 or more packets and returns true,
// the id left connected to it; false after all 17 ports failed. Writes its
// progress to the console and never ends the process.
bool ScanPorts(int connectionId);

#endif
