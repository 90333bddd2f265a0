// Generic doubly linked list of void* values.
#pragma once

typedef struct listNode {
    struct listNode *prev;
    struct listNode *next;
    void *value;
} listNode;

typedef struct listIter {
    listNode *next;
    int direction;
} listIter;

typedef struct list {
    listNode *head;
    listNode *tail;
    void *(*dup)(void *ptr);
    void (*free)(void *ptr);
    int (*match)(void *ptr, void *key);
    unsigned long len;
} list;

#define listLength(l) ((l)->len)
#define listFirst(l) ((l)->head)
#define listLast(l) ((l)->tail)
#define listPrevNode(n) ((n)->prev)
#define listNextNode(n) ((n)->next)
#define listNodeValue(n) ((n)->value)

#define listSetDupMethod(l, m) ((l)->dup = (m))
#define listSetFreeMethod(l, m) ((l)->free = (m))
#define listSetMatchMethod(l, m) ((l)->match = (m))

#define listGetDupMethod(l) ((l)->dup)
#define listGetFreeMethod(l) ((l)->free)
#define listGetMatchMethod(l) ((l)->match)

// Iteration directions.
#define AL_START_HEAD 0
#define AL_START_TAIL 1

list *listCreate(void);
// Frees every node (and value, through the free method), then the list.
void listRelease(list *list);
// Frees every node (and value) but keeps the list itself, now empty.
void listEmpty(list *list);
list *listAddNodeHead(list *list, void *value);
list *listAddNodeTail(list *list, void *value);
// Unlinks and frees the node, releasing its value through the free method.
void listDelNode(list *list, listNode *node);
listIter *listGetIterator(list *list, int direction);
void listReleaseIterator(listIter *iter);
// Returns the current node and moves past it before returning, so the caller
// may delete the returned node and carry on iterating.
listNode *listNext(listIter *iter);
void listRewind(list *list, listIter *li);
void listRewindTail(list *list, listIter *li);
// First node whose value matches key (through the match method, or by pointer
// identity without one); null when none does.
listNode *listSearchKey(list *list, void *key);
// Node at a zero-based index; negative indexes count from the tail (-1 is
// the last node). Null when out of range.
listNode *listIndex(list *list, long index);
