// Kept apart from the alsa-lib headers, which declare the same kernel structures under other names.
#include "AlsaPoolQuery.h"

#include <cerrno>
#include <cstring>
#include <sound/asequencer.h>
#include <sys/ioctl.h>

namespace alsa {

int QueryInputPool(int sequencerFd, int client, int& pool, int& free) {
    snd_seq_client_pool info;
    std::memset(&info, 0, sizeof info);
    info.client = client;
    if (ioctl(sequencerFd, SNDRV_SEQ_IOCTL_GET_CLIENT_POOL, &info) < 0)
        return -errno;
    pool = info.input_pool;
    free = info.input_free;
    return 0;
}

} // namespace alsa
