#pragma once
// Whether a TCP port on the loopback interface can still be listened on.

// PAPPL 1.3 reports success from papplSystemAddListeners even when no socket could be
// bound, so the service asks first: a port another program listens on is refused.
bool loopback_port_available(int port);
