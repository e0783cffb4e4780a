// SPDX-License-Identifier: BSD-2-Clause
/*
 * The one entry point of the text preparation: the adapter says what it
 * needs of a message in one request, and gets the engine's text with its
 * marks. Which cleaning runs, whether marks are gathered, and the rule
 * for the space key live behind it, so that a new setting of the
 * preparation is one more field here, not one more function to pick.
 *
 * Private to the engine adapter, like quorlin_text.h; plain C++ with no
 * exceptions. What it fills in is the caller's, released with
 * free_marked_text.
 */
#ifndef QUORLIN_PREPARE_H
#define QUORLIN_PREPARE_H

#include <stddef.h>

#include "nrv_types.h"
#include "quorlin_faithful.h"
#include "quorlin_text.h"

/* What the adapter asks of the text preparation for one message. */
struct text_request {
    const char *data;   /* the message's bytes, as the server sent them */
    size_t bytes;       /* their count */
    NRVMessageType type;
    bool faithful;      /* the faithful cleaning; else the default ASCII one */
    const faithful_settings *settings; /* the faithful cleaning's settings */
    bool gather_marks;  /* the marks of the text are wanted */
};

/* Prepares the message of `request` for the engine into `out`: its text
 * and, when asked for, its marks. A CHAR or KEY of one blank is the
 * space key, whose name the engine is given. 0 on success; -1 with `out`
 * empty when there is nothing to speak or no memory to prepare it. */
int prepare_for_engine(const text_request *request, marked_text *out);

#endif
