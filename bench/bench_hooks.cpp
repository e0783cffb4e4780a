// SPDX-License-Identifier: BSD-2-Clause
// The engine side of the module reduced to nothing, so that the runtime's
// line reader and audio writer can be measured in a process of their
// own: every hook refuses or does nothing. Only the benchmarks link it.
#include <stdlib.h>
#include <string.h>

#include "nrv_module_main.h"

extern "C" {

int module_config(const char *) { return 0; }
int module_init(char **status_info) {
    *status_info = strdup("benchmark");
    return 0;
}
int module_loop(void) { return module_process(0, 1); }
int module_close(void) { return 0; }
NRVVoice **module_list_voices(void) { return nullptr; }
int module_set(const char *, const char *) { return -1; }
int module_audio_set(const char *, const char *) { return -1; }
int module_audio_init(char **status_info) {
    *status_info = strdup("benchmark");
    return -1;
}
int module_loglevel_set(const char *, const char *) { return -1; }
int module_debug(int, const char *) { return -1; }
void module_speak_sync(const char *, size_t, NRVMessageType) { module_speak_error(); }
int module_speak(const char *, size_t, NRVMessageType) { return -1; }
int module_stop(void) { return 0; }
size_t module_pause(void) { return 0; }

}  // extern "C"
