#pragma once

namespace alsa {

// Reads another client's input pool: its size in cells and how many are free. alsa-lib asks only
// about the calling client; the kernel answers for any client, so the ioctl is made directly on
// the sequencer's file descriptor. Returns 0 or a negative error code. A kernel client has no
// input pool (both come back 0).
int QueryInputPool(int sequencerFd, int client, int& pool, int& free);

} // namespace alsa
