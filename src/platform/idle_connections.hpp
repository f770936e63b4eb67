#pragma once

// Asks the kernel to hand connections of the listening socket `listen_fd` to
// accept() only once they carry data (or have been closed by the peer), so that
// peers that connect and send nothing do not hold up the one connection served
// at a time. Called after listen(). When the kernel cannot do this, one line
// says so on standard error and false is returned; serving goes on regardless.
bool hold_back_idle_connections(int listen_fd);
