#include "support/ae.h"

#include <climits>

#include <poll.h>

int aeWait(int fd, int mask, long long milliseconds) {
    struct pollfd pfd = {};
    pfd.fd = fd;
    if (mask & AE_READABLE) pfd.events |= POLLIN;
    if (mask & AE_WRITABLE) pfd.events |= POLLOUT;

    int timeout = milliseconds < 0         ? -1
                  : milliseconds > INT_MAX ? INT_MAX
                                           : static_cast<int>(milliseconds);
    int retval = poll(&pfd, 1, timeout);
    if (retval < 0) return -1;
    if (retval == 0) return 0;

    int retmask = 0;
    if (pfd.revents & POLLIN) retmask |= AE_READABLE;
    if (pfd.revents & POLLOUT) retmask |= AE_WRITABLE;
    // An invalid descriptor counts as an error too: reporting nothing would
    // leave the caller waiting on it for ever.
    if (pfd.revents & (POLLERR | POLLHUP | POLLNVAL)) retmask |= AE_WRITABLE;
    return retmask;
}
