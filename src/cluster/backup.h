// Data-carrying sub-commands: import (every key of a stand-alone server into
// the cluster, one MIGRATE per key straight to the owning master) and
// backup (the topology as nodes.json and one snapshot per master), with the
// key hash slot rule the import uses to find each key's owner.
#pragma once

#include <cstddef>

#include "cluster/manager.h"

int clusterManagerCommandImport(int argc, char **argv);
int clusterManagerCommandBackup(int argc, char **argv);

// The hash slot of a key: CRC16 of the key, or of its hash tag (the bytes
// between the first "{" and the first "}" after it, when not empty), modulo
// 16384.
int clusterManagerKeyHashSlot(const char *key, size_t keylen);

// The node's object of nodes.json; error_count > 0 adds "cluster_errors".
hisds clusterManagerNodeGetJSON(const clusterManagerNode *node, unsigned long error_count);

// Appends s as the contents of a JSON string (without the quotes): quotes,
// backslashes, control characters and bytes that are not UTF-8 escaped, so
// that no host, ID or flag text can end the string or the file early.
hisds clusterManagerJSONEscape(hisds out, const char *s, size_t len);

// "<backup_dir>[/]vorn-node-<host>-<port>-<id>.vdb", the "/" added unless
// the directory already ends with one. A "/" inside the host or the ID
// (which come from the servers) becomes "_", so every snapshot lands in the
// backup directory itself.
hisds clusterManagerGetNodeVDBFilename(const clusterManagerNode *node);
