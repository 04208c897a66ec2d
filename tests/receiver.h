// receiver.h: a system log receiver of the test's own. The daemon runs in a private mount
// namespace whose /dev is a directory of the test, so the receiver is bound at its /dev/log
// and nothing outside sees either; the test stalls it, takes it away and brings it back.
#pragma once

#include <string>
#include <vector>

#include "daemon.h"

struct Receiver {
	std::string dev;               // the directory that is /dev for the daemon
	int fd = -1;                   // the bound socket at dev/log; -1 while away
	std::vector<std::string> got;  // every datagram received, in order
};

// Whether a private /dev can be had here (root, and a mount namespace); why not, when not.
bool privateDevUsable(std::string &why);
// Makes dir/dev with the devices and links the daemon's services use.
void receiverInit(Receiver &r, const std::string &dir);
// The command that runs the daemon with dir/dev as its /dev, for daemonStart.
std::vector<std::string> privateDevWrapper(const Receiver &r);
// Binds the socket at dev/log; false when that fails.
bool receiverBind(Receiver &r);
// Reads what waits, then closes the socket and removes it, as a syslog daemon that stops.
void receiverClose(Receiver &r);
// Reads every datagram that waits now.
void receiverRead(Receiver &r);
// Reads until a datagram holds the text; false when none did in time. The daemon's standard
// error is read meanwhile, since a daemon whose copy of the log is not read blocks on it.
bool receiverWait(Receiver &r, const std::string &text, double seconds, Child &daemon);
// A datagram without its "<PRI>Mmm dd hh:mm:ss kestord[PID]: " header.
std::string receiverText(const std::string &datagram);
// The numbers that the service wrote as whole lines, as the lines say them, in order.
std::vector<long> numberedLines(const std::vector<std::string> &messages,
    const std::string &name);
