#include "support/adlist.h"

#include "support/zmalloc.h"

list *listCreate(void) {
    list *l = static_cast<list *>(zmalloc(sizeof(*l)));
    l->head = l->tail = nullptr;
    l->len = 0;
    l->dup = nullptr;
    l->free = nullptr;
    l->match = nullptr;
    return l;
}

void listEmpty(list *list) {
    listNode *current = list->head;
    while (current) {
        listNode *next = current->next;
        if (list->free) list->free(current->value);
        zfree(current);
        current = next;
    }
    list->head = list->tail = nullptr;
    list->len = 0;
}

void listRelease(list *list) {
    if (!list) return;
    listEmpty(list);
    zfree(list);
}

list *listAddNodeHead(list *list, void *value) {
    listNode *node = static_cast<listNode *>(zmalloc(sizeof(*node)));
    node->value = value;
    node->prev = nullptr;
    node->next = list->head;
    if (list->head)
        list->head->prev = node;
    else
        list->tail = node;
    list->head = node;
    list->len++;
    return list;
}

list *listAddNodeTail(list *list, void *value) {
    listNode *node = static_cast<listNode *>(zmalloc(sizeof(*node)));
    node->value = value;
    node->next = nullptr;
    node->prev = list->tail;
    if (list->tail)
        list->tail->next = node;
    else
        list->head = node;
    list->tail = node;
    list->len++;
    return list;
}

void listDelNode(list *list, listNode *node) {
    if (node->prev)
        node->prev->next = node->next;
    else
        list->head = node->next;
    if (node->next)
        node->next->prev = node->prev;
    else
        list->tail = node->prev;
    if (list->free) list->free(node->value);
    zfree(node);
    list->len--;
}

listIter *listGetIterator(list *list, int direction) {
    listIter *iter = static_cast<listIter *>(zmalloc(sizeof(*iter)));
    if (direction == AL_START_HEAD)
        listRewind(list, iter);
    else
        listRewindTail(list, iter);
    return iter;
}

void listReleaseIterator(listIter *iter) {
    zfree(iter);
}

void listRewind(list *list, listIter *li) {
    li->next = list->head;
    li->direction = AL_START_HEAD;
}

void listRewindTail(list *list, listIter *li) {
    li->next = list->tail;
    li->direction = AL_START_TAIL;
}

listNode *listNext(listIter *iter) {
    listNode *current = iter->next;
    if (current) {
        if (iter->direction == AL_START_HEAD)
            iter->next = current->next;
        else
            iter->next = current->prev;
    }
    return current;
}

listNode *listSearchKey(list *list, void *key) {
    listIter iter;
    listRewind(list, &iter);
    while (listNode *node = listNext(&iter)) {
        if (list->match ? list->match(node->value, key) : node->value == key) return node;
    }
    return nullptr;
}

listNode *listIndex(list *list, long index) {
    listNode *n;
    if (index < 0) {
        index = (-index) - 1;
        n = list->tail;
        while (index-- && n)
            n = n->prev;
    } else {
        n = list->head;
        while (index-- && n)
            n = n->next;
    }
    return n;
}
