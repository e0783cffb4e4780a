// SPDX-License-Identifier: BSD-2-Clause
/*
 * The line reader: the only code that reads the module's standard input.
 *
 * One buffer serves the whole process, whatever descriptor a call names.
 * It holds the unread bytes at [ptr, ptr + used); bytes before ptr were
 * handed out already and are dead. The buffer only grows, always to a
 * power of two, and only when one unfinished line fills it completely;
 * otherwise dead bytes are reclaimed by moving the unread tail to the
 * front. It is never released: it lives as long as the process.
 *
 * The memo no_lf records how far the unread bytes have been searched for
 * a line feed without finding one, so that the poll after every audio
 * block does not search the same unfinished line again, and a long line
 * that comes through a pipe in many reads is searched once, not once per
 * read.
 *
 * The end of input is logged once. A server may close its side while a
 * long message still streams; after that, the poll after each audio
 * block neither reads again nor logs again, and a blocking call that
 * meets the same end again says nothing. Bytes read later (a file that
 * grew) make the input live again.
 *
 * module_readline is this file's only routine with external linkage.
 * What a line means is the callers' business.
 */
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/select.h>
#include <unistd.h>

#include <cstddef>

#include "nrv_module_main.h"

namespace {

struct line_buffer {
    char *data;        // the buffer; null until the first read
    size_t allocated;  // its size in bytes: 0 or a power of two
    size_t ptr;        // index of the first unread byte
    size_t used;       // unread bytes, from ptr on
    size_t no_lf;      // searched up to here without finding a line feed
    bool over;         // the last read met the end of input; it was logged
};

line_buffer in = {nullptr, 0, 0, 0, 0, false};

// The largest buffer whose double still fits in 32 bits. The shipped
// build has a 32-bit size_t, and a line of 4 GiB is no line a server
// sends: the limit is the same on every build.
constexpr size_t max_doublable_bytes = 0x7fffffffu;

// The outcome of one wait or read: a line may be searched for again, the
// caller must be told there is nothing now, or the input is finished.
enum class fill_result {
    got_bytes,
    nothing_now,
    failed
};

bool not_yet(int err) { return err == EINTR || err == EAGAIN || err == EINPROGRESS; }

/*
 * Hands out the next buffered line as a new string, or returns null and
 * records in no_lf that the unread bytes hold no line feed. *found tells
 * the two nulls apart: a line whose copy cannot be allocated is consumed
 * and lost, which the caller reports as "no line now".
 */
char *take_buffered_line(bool *found) {
    *found = false;
    size_t end = in.ptr + in.used;
    if (in.used == 0 || in.no_lf >= end) return nullptr;
    const void *lf = memchr(in.data + in.no_lf, '\n', end - in.no_lf);
    if (lf == nullptr) {
        in.no_lf = end;
        return nullptr;
    }
    *found = true;
    size_t i = static_cast<size_t>(static_cast<const char *>(lf) - in.data);
    size_t len = i + 1 - in.ptr;
    // strndup stops early at a NUL: the rest of such a line is dropped.
    char *line = strndup(in.data + in.ptr, len);
    in.used -= len;
    in.ptr = in.used == 0 ? 0 : i + 1;
    in.no_lf = in.ptr;
    return line;
}

/*
 * Makes room behind the unread bytes and returns how much, 0 when the
 * buffer could not grow (retry later), or sets *overflow when one line
 * would need 4 GiB or more.
 */
size_t make_room(bool *overflow) {
    *overflow = false;
    size_t end = in.ptr + in.used;
    if (end < in.allocated) return in.allocated - end;
    if (in.ptr > 0) {
        memmove(in.data, in.data + in.ptr, in.used);
        in.no_lf -= in.ptr;
        in.ptr = 0;
        return in.allocated - in.used;
    }
    if (end > max_doublable_bytes) {
        *overflow = true;
        return 0;
    }
    size_t new_size = end == 0 ? 2 : 2 * end;
    // Through a temporary: a failed growth keeps the old buffer intact.
    char *grown = static_cast<char *>(realloc(in.data, new_size));
    if (grown == nullptr) return 0;
    in.data = grown;
    in.allocated = new_size;
    return new_size - end;
}

// Waits for input (or only polls) and reads once into the buffer. A
// poll after the end of input reads nothing: the input is over.
fill_result fill(int fd, int block) {
    if (in.over && !block) return fill_result::failed;
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(fd, &readable);
    timeval poll_only = {0, 0};
    int ready = select(fd + 1, &readable, nullptr, nullptr, block ? nullptr : &poll_only);
    if (ready < 0) {
        if (not_yet(errno)) return fill_result::nothing_now;
        perror("select on stdin");
        return fill_result::failed;
    }
    if (ready == 0 || !FD_ISSET(fd, &readable)) return fill_result::nothing_now;

    bool overflow = false;
    size_t room = make_room(&overflow);
    if (overflow) {
        fputs("input line overflow\n", stderr);
        return fill_result::failed;
    }
    if (room == 0) return fill_result::nothing_now;

    ssize_t n = read(fd, in.data + in.ptr + in.used, room);
    if (n > 0) {
        // The memo stays: the bytes before the new ones hold no line feed.
        in.used += static_cast<size_t>(n);
        in.over = false;
        return fill_result::got_bytes;
    }
    if (n == 0) {
        if (!in.over) fputs("stdin over\n", stderr);
        in.over = true;
        return fill_result::failed;
    }
    if (not_yet(errno)) return fill_result::nothing_now;
    perror("read on stdin");
    return fill_result::failed;
}

}  // namespace

/*
 * One whole input line, line feed included, as a new string that the
 * caller frees; or null when none can be had. Blocking calls wait until a
 * line is complete or input ends or fails; non-blocking calls read what
 * is available at once and return null when no line is complete then.
 * Buffered lines are always handed out before the end of input is seen;
 * once it has been seen, non-blocking calls no longer read.
 */
char *module_readline(int fd, int block) {
    for (;;) {
        bool found = false;
        char *line = take_buffered_line(&found);
        if (found) return line;
        switch (fill(fd, block)) {
        case fill_result::got_bytes: continue;
        case fill_result::failed: return nullptr;
        case fill_result::nothing_now:
            if (!block) return nullptr;
            continue;
        }
    }
}
