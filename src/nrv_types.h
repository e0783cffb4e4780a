// SPDX-License-Identifier: BSD-2-Clause
/*
 * Records shared across the module seam that describe what is spoken:
 * the voice record of a voice list and the kinds of message.
 * Plain C so that both halves of the module, and C callers, can use it.
 */
#ifndef NRV_TYPES_H
#define NRV_TYPES_H

#ifdef __cplusplus
extern "C" {
#endif

/* One entry of a voice list. Each field is a NUL-terminated string or
 * null. A voice list is an array of pointers to these records ending
 * with a null pointer. */
typedef struct {
    char *name;
    char *language;
    char *variant;
} NRVVoice;

/* The kind of a message. The protocol produces only the first four;
 * NRV_MSGTYPE_SPELL is part of the interface and never produced. */
typedef enum {
    NRV_MSGTYPE_TEXT = 0,
    NRV_MSGTYPE_SOUND_ICON = 1,
    NRV_MSGTYPE_CHAR = 2,
    NRV_MSGTYPE_KEY = 3,
    NRV_MSGTYPE_SPELL = 99
} NRVMessageType;

#ifdef __cplusplus
}
#endif

#endif
