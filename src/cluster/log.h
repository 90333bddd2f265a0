// The cluster manager's levelled log, its error record and its yes/no prompt.
#pragma once

#include "cluster/manager.h"
#include "hivorn/hivorn.h"

#define CLUSTER_MANAGER_LOG_LVL_INFO 1
#define CLUSTER_MANAGER_LOG_LVL_WARN 2
#define CLUSTER_MANAGER_LOG_LVL_ERR 3
#define CLUSTER_MANAGER_LOG_LVL_SUCCESS 4

// Writes the formatted text to standard output, coloured by level when the
// colour flag is set. The text carries its own line ends and markers.
void clusterManagerLog(int level, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

#define clusterManagerLogInfo(...) clusterManagerLog(CLUSTER_MANAGER_LOG_LVL_INFO, __VA_ARGS__)
#define clusterManagerLogWarn(...) clusterManagerLog(CLUSTER_MANAGER_LOG_LVL_WARN, __VA_ARGS__)
#define clusterManagerLogErr(...) clusterManagerLog(CLUSTER_MANAGER_LOG_LVL_ERR, __VA_ARGS__)
#define clusterManagerLogOk(...) clusterManagerLog(CLUSTER_MANAGER_LOG_LVL_SUCCESS, __VA_ARGS__)

// "Node host:port replied with error:\n<text>\n" at level err.
void clusterManagerPrintReplyError(const clusterManagerNode *n, const char *err);

// Appends text to cluster_manager.errors (which takes it over) and logs it
// at level err.
void clusterManagerOnError(hisds text);

// 1 for a reply that is neither missing nor an error. An error reply's text
// is copied into a new *err when err is given, otherwise logged with the
// node's address; a missing reply fails silently.
int clusterManagerCheckVornReply(const clusterManagerNode *n, const vornReply *r, hisds *err);

// Asks "<msg> (type 'yes' to accept): " and reads one answer of at most four
// bytes from standard input; yes when it begins with "yes". With the yes flag
// set and ignore_force 0 it answers itself.
int confirmWithYes(const char *msg, int ignore_force);
