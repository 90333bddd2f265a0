// The message of the day: a short text fetched over HTTP when an interactive
// session starts, cached in the user's home directory for four hours.
#pragma once

#include <cstddef>

#include "hivorn/sds.h"

// Largest message accepted from the network (and from the cache file); a
// longer answer aborts the transfer and counts as a failed fetch.
#define MOTD_MAX_SIZE (1024 * 1024)

// Returns the message or nullptr. enable_motd 0 returns nullptr at once;
// cache 0 neither reads nor writes the cache file. The caller frees the
// message with freeMOTD.
hisds fetchMOTD(int cache, int enable_motd);
void freeMOTD(hisds motd);

// libcurl write callback: appends the received bytes to the hisds that
// userdata points at. Refuses data (a short count) beyond MOTD_MAX_SIZE or
// when memory runs out, which makes libcurl abort the transfer.
size_t motd_write_callback(char *data, size_t size, size_t nmemb, void *userdata);
