#include "cluster/log.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <unistd.h>

#include "cli/config.h"

void clusterManagerLog(int level, const char *fmt, ...) {
    bool color = (config.cluster_manager_command.flags & CLUSTER_MANAGER_CMD_FLAG_COLOR) != 0;
    if (color) {
        const char *code;
        switch (level) {
        case CLUSTER_MANAGER_LOG_LVL_INFO:
            code = "29;1m";
            break;
        case CLUSTER_MANAGER_LOG_LVL_WARN:
            code = "33;1m";
            break;
        case CLUSTER_MANAGER_LOG_LVL_ERR:
            code = "31;1m";
            break;
        case CLUSTER_MANAGER_LOG_LVL_SUCCESS:
            code = "32;1m";
            break;
        default:
            code = "0m";
            break;
        }
        printf("\033[%s", code);
    }
    va_list ap;
    va_start(ap, fmt);
    vprintf(fmt, ap);
    va_end(ap);
    if (color) printf("\033[0m");
}

void clusterManagerPrintReplyError(const clusterManagerNode *n, const char *err) {
    clusterManagerLogErr("Node %s:%d replied with error:\n%s\n", n->ip, n->port, err);
}

void clusterManagerOnError(hisds text) {
    if (cluster_manager.errors == nullptr) cluster_manager.errors = listCreate();
    listAddNodeTail(cluster_manager.errors, text);
    clusterManagerLogErr("%s\n", text);
}

int clusterManagerCheckVornReply(const clusterManagerNode *n, const vornReply *r, hisds *err) {
    if (r == nullptr) return 0;
    if (r->type != VORN_REPLY_ERROR) return 1;
    if (err != nullptr)
        *err = hi_sdsnewlen(r->str, r->len);
    else
        clusterManagerPrintReplyError(n, r->str);
    return 0;
}

int confirmWithYes(const char *msg, int ignore_force) {
    if (!ignore_force && (config.cluster_manager_command.flags & CLUSTER_MANAGER_CMD_FLAG_YES))
        return 1;
    printf("%s (type 'yes' to accept): ", msg);
    fflush(stdout);
    // One read of at most four bytes: "yes" and its line end. Whatever the
    // user typed beyond that stays unread.
    char buf[4] = {0, 0, 0, 0};
    ssize_t nread = read(STDIN_FILENO, buf, sizeof(buf));
    if (nread <= 0) return 0;
    buf[3] = '\0';
    return strncmp(buf, "yes", 3) == 0;
}
