// SPDX-License-Identifier: BSD-2-Clause
/*
 * The PCM record that the adapter hands to the runtime for framing, and
 * the byte-order flag sent with it. Plain C.
 */
#ifndef NRV_AUDIO_H
#define NRV_AUDIO_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* One track of PCM. The producer owns `samples`; the consumer only reads
 * them, and only for the duration of the call it was handed them in. */
typedef struct {
    int32_t bits;         /* bits per sample; the adapter passes 16 */
    int32_t num_channels; /* interleaved channels; the adapter passes 1 */
    int32_t sample_rate;  /* frames per second */
    int32_t num_samples;  /* frames in `samples`; <= 0 means nothing to send */
    int16_t *samples;     /* the sample data, in the order the format says */
} AudioTrack;

/* Byte order of the sample data, sent verbatim as "big_endian". */
typedef enum {
    NRV_AUDIO_LE = 0,
    NRV_AUDIO_BE = 1
} AudioFormat;

#ifdef __cplusplus
}
#endif

#endif
