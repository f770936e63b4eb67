#pragma once

// Tells a supervisor that waits for it (systemd's Type=notify) that the
// listening socket is open: "READY=1" as one datagram to $NOTIFY_SOCKET.
// Nothing happens when the variable is unset; a failure is not reported.
void notify_ready();
