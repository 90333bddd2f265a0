// Arbitrary bytes fed to the reply reader in arbitrary pieces. After every
// call the reader's invariants must hold, every complete reply must be a
// well-formed tree, and a reader that builds nothing must reach the same
// verdict as one that builds trees. The building reader takes payloads from
// a few bytes up on the direct path, with pieces either fed or written
// straight into the payload's string as a connection does.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "hivorn/hivorn.h"

namespace {

void check(bool ok) {
    if (!ok) abort();
}

void checkInvariants(const vornReader *r) {
    check(r->pos <= r->len);
    if (r->err) {
        check(r->buf == nullptr && r->pos == 0 && r->len == 0 && r->ridx == -1);
        check(r->reply == nullptr);
        check(strlen(r->errstr) < sizeof(r->errstr));
    } else {
        check(r->buf != nullptr && r->len == hi_sdslen(r->buf));
        check(r->ridx >= -1 && r->ridx < r->tasks);
    }
    if (r->direct.str != nullptr) {
        check(!r->err && r->ridx >= 0);
        check(r->direct.filled <= r->direct.cap && r->direct.cap <= r->direct.need);
    } else {
        check(r->direct.filled == 0 && r->direct.cap == 0);
    }
}

// Hands a piece to the reader the way a connection would: as much as the
// direct path offers room for straight into the string, the rest fed.
int deliver(vornReader *r, const char *p, size_t n, bool direct) {
    while (direct && n > 0) {
        char *dst;
        size_t room = vornReaderDirectRoom(r, &dst);
        if (r->err) return VORN_ERR;
        if (room == 0) break;
        if (room > n) room = n;
        memcpy(dst, p, room);
        vornReaderDirectCommit(r, room);
        p += room;
        n -= room;
    }
    return vornReaderFeed(r, p, n);
}

// Walks the tree without recursion and checks every node.
void checkTree(const vornReply *root) {
    std::vector<const vornReply *> todo{root};
    while (!todo.empty()) {
        const vornReply *n = todo.back();
        todo.pop_back();
        check(n != nullptr);
        switch (n->type) {
        case VORN_REPLY_STRING:
        case VORN_REPLY_STATUS:
        case VORN_REPLY_ERROR:
            check(n->str != nullptr && n->str[n->len] == '\0');
            break;
        case VORN_REPLY_VERB:
            check(n->str != nullptr && n->str[n->len] == '\0' && strlen(n->vtype) <= 3);
            break;
        case VORN_REPLY_DOUBLE:
            check(n->str != nullptr && strlen(n->str) < 326 && n->dval == n->dval);
            break;
        case VORN_REPLY_BOOL:
            check(n->integer == 0 || n->integer == 1);
            break;
        case VORN_REPLY_INTEGER:
        case VORN_REPLY_NIL:
            break;
        case VORN_REPLY_MAP:
            check(n->elements % 2 == 0);
            [[fallthrough]];
        case VORN_REPLY_ARRAY:
        case VORN_REPLY_SET:
        case VORN_REPLY_PUSH:
            check((n->elements == 0) == (n->element == nullptr));
            for (size_t i = 0; i < n->elements; i++)
                todo.push_back(n->element[i]);
            break;
        default:
            check(false);
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 3) return 0;
    // The first byte picks the aggregate limit, the second seeds the piece
    // sizes and the way they are handed over, the third the smallest payload
    // taken on the direct path (0: none).
    long long maxelements = 1 + data[0] % 64;
    uint32_t state = data[1] | 1u;
    size_t directmin = data[2] % 40;
    data += 3;
    size -= 3;

    vornReader *r = vornReaderCreate();
    vornReplyObjectFunctions none = {};
    vornReader *bare = vornReaderCreateWithFunctions(&none);
    check(r != nullptr && bare != nullptr);
    r->maxelements = bare->maxelements = maxelements;
    if (state & 2) r->maxbuf = bare->maxbuf = 0;
    r->directmin = directmin;

    size_t off = 0, replies = 0, bareReplies = 0;
    while (off < size) {
        state = state * 1103515245u + 12345u;
        size_t piece = 1 + (state >> 16) % 64;
        if (piece > size - off) piece = size - off;
        int rc = deliver(r, reinterpret_cast<const char *>(data) + off, piece, (state >> 20) & 1);
        int brc = vornReaderFeed(bare, reinterpret_cast<const char *>(data) + off, piece);
        off += piece;
        check(rc == brc);
        checkInvariants(r);
        while (rc == VORN_OK) {
            void *reply;
            rc = vornReaderGetReply(r, &reply);
            checkInvariants(r);
            if (reply == nullptr) break;
            check(rc == VORN_OK);
            checkTree(static_cast<vornReply *>(reply));
            freeReplyObject(reply);
            replies++;
        }
        void *obj;
        while (vornReaderGetReply(bare, &obj) == VORN_OK && obj != nullptr) {
            checkInvariants(bare);
            bareReplies++;
        }
        checkInvariants(bare);
        check(replies == bareReplies);
        check(r->err == bare->err);
        if (r->err) {
            check(strcmp(r->errstr, bare->errstr) == 0);
            check(vornReaderFeed(r, "+OK\r\n", 5) == VORN_ERR);
            check(vornReaderGetReply(r, nullptr) == VORN_ERR);
            break;
        }
    }
    vornReaderFree(r);
    vornReaderFree(bare);
    return 0;
}
