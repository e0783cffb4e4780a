// SPDX-License-Identifier: BSD-2-Clause
/* Compiled as C: every interface header must stay plain C. */
#include "eci_corvane.h"
#include "engine_library.h"
#include "nrv_audio.h"
#include "nrv_module_main.h"
#include "nrv_types.h"

int quorlin_c_headers_compile(void);
int quorlin_c_headers_compile(void) {
    AudioTrack t = {16, 1, 22050, 0, 0};
    NRVVoice v = {0, 0, 0};
    return t.bits + (v.name == 0) + (int)NRV_MSGTYPE_KEY + (int)eciSpeed;
}
