// SPDX-License-Identifier: BSD-2-Clause
// The module runtime's interface as the adapter calls it, recorded
// instead of written: replies and events go to `events`, tracks are
// copied into `tracks`, and module_process returns what a test chose.
// Allocation failures are the fault-injection hook's (fault_injection.h).
#include "stub_runtime.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>

#include "nrv_module_main.h"

namespace stub_runtime {

std::vector<std::string> events;
std::vector<Track> tracks;
std::function<void()> during_stream;
int process_result = 0;

void reset() {
    events.clear();
    tracks.clear();
    during_stream = nullptr;
    process_result = 0;
    module_should_stop = 0;
    audio_server = 0;
}

}  // namespace stub_runtime

using namespace stub_runtime;

extern "C" {

pthread_mutex_t module_stdout_mutex = PTHREAD_MUTEX_INITIALIZER;
int module_should_stop = 0;
int audio_server = 0;

int module_process(int, int) { return process_result; }

void module_send(const char *format, ...) {
    char buf[256];
    va_list ap;
    va_start(ap, format);
    vsnprintf(buf, sizeof buf, format, ap);
    va_end(ap);
    events.push_back(buf);
}

void module_speak_ok(void) { events.push_back("200"); }
void module_speak_error(void) { events.push_back("301"); }
void module_report_event_begin(void) { events.push_back("701"); }
void module_report_event_end(void) { events.push_back("702"); }
void module_report_event_stop(void) { events.push_back("703"); }
void module_report_event_pause(void) { events.push_back("704"); }
void module_report_index_mark(const char *) {}
void module_report_icon(const char *) {}
void module_audio_set_server(void) { audio_server = 1; }

void module_tts_output_server(const AudioTrack *track, AudioFormat) {
    events.push_back("705");
    if (during_stream) during_stream();
    // Read the samples after the pass, as the real writer does for every
    // block after the first: the sanitizers catch a block freed under it.
    Track t;
    t.bits = track->bits;
    t.num_channels = track->num_channels;
    t.sample_rate = track->sample_rate;
    t.samples.assign(track->samples, track->samples + track->num_samples);
    tracks.push_back(std::move(t));
}

}  // extern "C"
