// An owning pointer for replies read on node connections, so that every
// early return of a multi-step operation frees what it read.
#pragma once

#include <memory>

#include "hivorn/hivorn.h"

struct clusterManagerReplyDeleter {
    void operator()(vornReply *r) const {
        if (r != nullptr) freeReplyObject(r);
    }
};
using clusterManagerReplyPtr = std::unique_ptr<vornReply, clusterManagerReplyDeleter>;
