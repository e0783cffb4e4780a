// SPDX-License-Identifier: BSD-2-Clause
/*
 * What tests need to know of the fake engine beyond the engine calls of
 * eci_corvane.h: the sample pattern it produces and a hook run inside
 * synthesis. Plain C.
 */
#ifndef QUORLIN_FAKE_ENGINE_H
#define QUORLIN_FAKE_ENGINE_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Sample `index` (from 0) of the `message`-th synthesis (from 1) since
 * eciNew. Its low byte runs through every value, so every 256 samples
 * hold the bytes 0x0A and 0x7D that the audio framing escapes; sample 0
 * of message 1 is 0x7D0A, stored as the bytes 0x0A 0x7D. The message
 * number shifts the high byte, so samples left over from an earlier
 * message do not pass for those of a later one. */
static inline int16_t quorlin_fake_sample(int message, long index) {
    uint32_t v = 0x7D0Au + 0x0101u * (uint32_t)index + 0x1000u * (uint32_t)(message - 1);
    return (int16_t)(uint16_t)(v & 0xFFFFu);
}

/* Installs a function that the fake calls inside each synthesis, before
 * the first sample callback (null removes it). For tests that link the
 * adapter directly and need something to happen while the engine
 * works, such as a stop request arriving from a callback's point of
 * view. */
void quorlin_fake_set_synthesis_hook(void (*hook)(void));

#ifdef __cplusplus
}
#endif

#endif
