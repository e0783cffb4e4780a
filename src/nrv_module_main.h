// SPDX-License-Identifier: BSD-2-Clause
/*
 * The seam between the module runtime and the engine adapter.
 *
 * Hooks are implemented by the adapter and called by the runtime;
 * services are implemented by the runtime and called by the adapter.
 * Results are 0 for success. A string returned through an out-parameter
 * is allocated with strdup/malloc by the callee and freed by the caller.
 * Nothing thrown ever crosses this seam.
 */
#ifndef NRV_MODULE_MAIN_H
#define NRV_MODULE_MAIN_H

#include <pthread.h>
#include <stddef.h>

#include "nrv_audio.h"
#include "nrv_types.h"

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define NRV_PRINTF_FORMAT(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define NRV_PRINTF_FORMAT(fmt, args)
#endif

/* ---- Hooks: the adapter implements these. ---- */

/* Reads the configuration; `configfile` may be null. Non-zero aborts
 * start-up with status 1. */
int module_config(const char *configfile);
/* Creates the engine. Stores a new message in *status_info in every case
 * (the caller prints it after "299-" or "399-" and frees it). */
int module_init(char **status_info);
/* Runs the blocking command loop: 0 after QUIT, non-zero when input
 * ended or failed. */
int module_loop(void);
/* Releases the engine and every buffer; safe when nothing was created,
 * and when called more than once. 0 once released. 1 when the release
 * has to wait: called from a command pass that module_speak_sync runs
 * while its message is still being made, the current message is stopped
 * and everything is released when module_speak_sync returns, which it
 * then does without an event; the runtime answers QUIT after that. */
int module_close(void);
/* A new null-terminated array of voices, or null when none can be listed. */
NRVVoice **module_list_voices(void);
/* Setters of the SET, AUDIO and LOGLEVEL blocks: non-zero rejects. The
 * strings live only until the hook returns. */
int module_set(const char *var, const char *val);
int module_audio_set(const char *var, const char *val);
int module_audio_init(char **status_info);
int module_loglevel_set(const char *var, const char *val);
/* DEBUG ON (enable 1, path) and OFF (enable 0, null): non-zero means the
 * debug file cannot be opened. */
int module_debug(int enable, const char *file);
/* Speaks `bytes` bytes of `data` to the end before returning, sending
 * exactly one of "200 OK SPEAKING" or "301 ERROR CANT SPEAK" and the
 * message's events. The text stays the caller's. */
void module_speak_sync(const char *data, size_t bytes, NRVMessageType msgtype);
/* Asynchronous speaking; not offered by this module. */
int module_speak(const char *data, size_t bytes, NRVMessageType msgtype);
/* Interrupt the current message; called after module_should_stop is set. */
int module_stop(void);
size_t module_pause(void);

/* ---- Services: the runtime implements these. ---- */

/* Reads and executes commands from `fd`. Blocking: until QUIT (0) or
 * until input ends or fails (-1). Non-blocking: executes the commands
 * whose lines are already complete and returns -1 when none is left, or
 * right after a STOP or PAUSE, whose followers stay unread. */
int module_process(int fd, int block);
/* One input line with its line feed, newly allocated and owned by the
 * caller, or null when no line can be had (now, or at all). */
char *module_readline(int fd, int block);
/* Formats a reply onto stdout under module_stdout_mutex, then flushes. */
void module_send(const char *format, ...) NRV_PRINTF_FORMAT(1, 2);

void module_speak_ok(void);
void module_speak_error(void);
void module_report_index_mark(const char *mark);
void module_report_event_begin(void);
void module_report_event_end(void);
void module_report_event_stop(void);
void module_report_event_pause(void);
void module_report_icon(const char *icon);

/* Streams `track` as 705 blocks, running a non-blocking command pass
 * after each block. The track stays the caller's and must stay valid
 * for the whole call. */
void module_tts_output_server(const AudioTrack *track, AudioFormat format);
/* Selects the server form of the AUDIO command (sets audio_server). */
void module_audio_set_server(void);

/* ---- Runtime state shared through the interface. ---- */

/* Serialises writes to stdout while the command loop runs; non-recursive. */
extern pthread_mutex_t module_stdout_mutex;
/* Set by STOP and PAUSE, cleared before each message; the audio writer
 * sends no further block while it is set. */
extern int module_should_stop;
/* 1 once the adapter has selected server audio. */
extern int audio_server;

#ifdef __cplusplus
}
#endif

#endif
