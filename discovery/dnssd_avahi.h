// A DNS-SD back-end of our own over Avahi's client API: the published entry
// points, answered by a client of avahi-daemon whose libraries
// (libavahi-client.so.3, libavahi-common.so.3) are loaded at run time.
//
// Each reference owns a socket pair; a reply the daemon sends is queued on
// its reference and one byte makes the reference's socket readable, so that
// callers select() and call DNSServiceProcessResult as with any DNS-SD
// library, and every callback runs on the caller's thread. A helper thread
// of Avahi's own event loop talks to the daemon; it never runs our callers'
// code.
//
// The daemon going away is no failure of the references: a browse reports
// every instance it had reported as removed, and once the daemon is back
// (the client reconnects) browses, resolves and queries start again by
// themselves. Only when no new client can be made (the system bus is gone)
// does every reference get kDNSServiceErr_ServiceNotRunning. Nothing is
// written to the standard streams.
#pragma once

#include <memory>
#include <string>

#include "discovery/dnssd.h"

namespace dnssd::avahi {

class Backend;

// The back-end, shared while any holder keeps it: its libraries loaded
// through the dynamic-library seam and a client made (it may still be
// waiting for the daemon). Null with `error` saying why when the libraries,
// one of their entry points or a client cannot be had, or when this build
// has no back-end.
std::shared_ptr<Backend> Start(std::string& error);

const Library::EntryPoints& EntryPoints();

// True while the client is connected to a running daemon.
bool DaemonRunning(Backend& backend);

}  // namespace dnssd::avahi
