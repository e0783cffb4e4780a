// SPDX-License-Identifier: BSD-2-Clause
// A recording stand-in for the engine adapter: every hook of the module
// interface, scripted through environment variables and recording each
// call with its arguments, one line per call, so that tests can run the
// real runtime as a child and assert both what the server saw and what
// the adapter was asked to do.
//
// Script (all optional):
//   QREC_LOG            file that receives the call record (default: stderr,
//                       each line prefixed "rec: ")
//   QREC_CONFIG_RESULT  result of module_config (default 0)
//   QREC_INIT_RESULT    result of module_init (default 0)
//   QREC_INIT_MESSAGE   message of module_init (unset: none)
//   QREC_AUDIO_SERVER   0: module_init does not select server audio (default 1)
//   QREC_VOICES         voice list "name,language,variant;..." with "~" for a
//                       null field; "" is an empty list; unset: no list
//   QREC_REJECT         comma-separated names that the three setters reject
//   QREC_AUDIO_INIT_RESULT / QREC_AUDIO_INIT_MESSAGE  module_audio_init
//   QREC_DEBUG_RESULT   result of module_debug (default 0)
//   QREC_SPEAK_FAIL     1: module_speak_sync answers 301 only
//   QREC_TRACK_FRAMES   frames of the track that module_speak_sync streams
//                       (unset: no track is streamed)
//   QREC_TRACK_BITS, QREC_TRACK_CHANNELS, QREC_TRACK_RATE (16, 1, 22050)
//   QREC_TRACK_BIG_ENDIAN  the AudioFormat passed (default 0)
//   QREC_TRACK_PATTERN  hex bytes repeated over the samples (default 7d0a3412)
//   QREC_TRACK_SPARE    frames allocated beyond the track; a SET line
//                       "grow=N" in a pass lengthens the live track by N
//
// Allocation failures are scripted through the fault-injection hook's own
// variables (QTEST_FAIL_REALLOC and its siblings, fault_injection.h).
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <string_view>
#include <vector>

#include "nrv_module_main.h"
#include "recording_format.h"

namespace {

int log_fd = -2;

void record(const char *format, ...) __attribute__((format(printf, 1, 2)));
void record(const char *format, ...) {
    if (log_fd == -2) {
        const char *path = getenv("QREC_LOG");
        log_fd = path != nullptr ? open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644) : -1;
    }
    char buf[65536];
    va_list args;
    va_start(args, format);
    int n = vsnprintf(buf, sizeof buf - 1, format, args);
    va_end(args);
    if (n < 0) return;
    size_t len = static_cast<size_t>(n) < sizeof buf - 1 ? static_cast<size_t>(n) : sizeof buf - 2;
    buf[len++] = '\n';
    // Unbuffered, so that the record survives exit() at any point.
    if (log_fd >= 0) {
        (void)!write(log_fd, buf, len);
    } else {
        (void)!write(2, "rec: ", 5);
        (void)!write(2, buf, len);
    }
}

int env_int(const char *name, int fallback) {
    const char *v = getenv(name);
    return v != nullptr && *v != '\0' ? atoi(v) : fallback;
}

std::string quoted(const char *s) {
    return s == nullptr ? std::string("(null)") : qrec::quote(std::string_view(s));
}

bool rejected(const char *name) {
    const char *list = getenv("QREC_REJECT");
    if (list == nullptr) return false;
    std::string_view rest(list);
    while (!rest.empty()) {
        size_t comma = rest.find(',');
        if (rest.substr(0, comma) == name) return true;
        if (comma == std::string_view::npos) break;
        rest.remove_prefix(comma + 1);
    }
    return false;
}

char *dup_or_null(std::string_view field) {
    return field == "~" ? nullptr : strndup(field.data(), field.size());
}

// The track being streamed, so that a SET grow=N met in a pass can
// lengthen it.
AudioTrack live_track;
int spare_frames = 0;
bool speaking = false;

}  // namespace


int module_config(const char *configfile) {
    record("config %s", quoted(configfile).c_str());
    return env_int("QREC_CONFIG_RESULT", 0);
}

int module_init(char **status_info) {
    record("init");
    if (env_int("QREC_AUDIO_SERVER", 1)) module_audio_set_server();
    const char *message = getenv("QREC_INIT_MESSAGE");
    if (message != nullptr) *status_info = strdup(message);
    return env_int("QREC_INIT_RESULT", 0);
}

int module_loop(void) {
    fputs("quorlin: entering main loop\n", stderr);
    record("loop");
    int result = module_process(0, 1);
    if (result != 0) fputs("quorlin: broken pipe, exiting\n", stderr);
    record("loop_end %d", result);
    return result;
}

int module_close(void) {
    record("close");
    return 0;
}

NRVVoice **module_list_voices(void) {
    record("list_voices");
    const char *scripted = getenv("QREC_VOICES");
    if (scripted == nullptr) return nullptr;
    std::vector<NRVVoice *> voices;
    std::string_view rest(scripted);
    while (!rest.empty()) {
        size_t semi = rest.find(';');
        std::string_view entry = rest.substr(0, semi);
        rest = semi == std::string_view::npos ? std::string_view() : rest.substr(semi + 1);
        std::string_view field[3] = {"~", "~", "~"};
        for (int i = 0; i < 3 && !entry.empty(); ++i) {
            size_t comma = entry.find(',');
            field[i] = entry.substr(0, comma);
            entry = comma == std::string_view::npos ? std::string_view() : entry.substr(comma + 1);
        }
        auto *v = static_cast<NRVVoice *>(malloc(sizeof(NRVVoice)));
        v->name = dup_or_null(field[0]);
        v->language = dup_or_null(field[1]);
        v->variant = dup_or_null(field[2]);
        voices.push_back(v);
    }
    auto **list = static_cast<NRVVoice **>(malloc((voices.size() + 1) * sizeof(NRVVoice *)));
    for (size_t i = 0; i < voices.size(); ++i) list[i] = voices[i];
    list[voices.size()] = nullptr;
    return list;
}

int module_set(const char *var, const char *val) {
    record("set %s %s", quoted(var).c_str(), quoted(val).c_str());
    if (strcmp(var, "grow") == 0 && speaking) {
        int more = atoi(val);
        if (more > 0 && more <= spare_frames) {
            spare_frames -= more;
            live_track.num_samples += more;
        }
    }
    return rejected(var) ? -1 : 0;
}

int module_audio_set(const char *var, const char *val) {
    record("audio_set %s %s", quoted(var).c_str(), quoted(val).c_str());
    return rejected(var) ? -1 : 0;
}

int module_audio_init(char **status_info) {
    record("audio_init");
    const char *message = getenv("QREC_AUDIO_INIT_MESSAGE");
    if (message != nullptr) *status_info = strdup(message);
    return env_int("QREC_AUDIO_INIT_RESULT", 0);
}

int module_loglevel_set(const char *var, const char *val) {
    record("loglevel_set %s %s", quoted(var).c_str(), quoted(val).c_str());
    return rejected(var) ? -1 : 0;
}

int module_debug(int enable, const char *file) {
    record("debug %d %s", enable, quoted(file).c_str());
    return env_int("QREC_DEBUG_RESULT", 0);
}

void module_speak_sync(const char *data, size_t bytes, NRVMessageType msgtype) {
    record("speak_sync %d %zu %s%s", static_cast<int>(msgtype), bytes,
           qrec::quote(std::string_view(data, bytes)).c_str(),
           data[bytes] == '\0' ? "" : " unterminated");
    if (speaking) {
        // Like the real adapter, no second message inside the streaming
        // of the first.
        record("speak_sync refused while streaming");
        module_speak_error();
        return;
    }
    if (env_int("QREC_SPEAK_FAIL", 0)) {
        module_speak_error();
        return;
    }
    module_speak_ok();
    module_report_event_begin();
    if (getenv("QREC_TRACK_FRAMES") != nullptr) {
        int frames = env_int("QREC_TRACK_FRAMES", 0);
        int bits = env_int("QREC_TRACK_BITS", 16);
        int channels = env_int("QREC_TRACK_CHANNELS", 1);
        spare_frames = env_int("QREC_TRACK_SPARE", 0);
        // Room for the track as the runtime should read it, and never
        // less than 8 bytes a frame, so that an odd format cannot make
        // the writer read beyond the allocation.
        long long frame_bytes = static_cast<long long>(bits) * channels / 8;
        if (frame_bytes < 8) frame_bytes = 8;
        long long stored = static_cast<long long>(frames > 0 ? frames : 0) + spare_frames;
        size_t total = static_cast<size_t>(stored * frame_bytes);
        std::vector<unsigned char> bytes_out =
            qrec::pattern_bytes(getenv("QREC_TRACK_PATTERN"), total);
        // Aligned storage for the samples.
        std::vector<int16_t> samples(total / 2 + 1);
        if (total > 0) memcpy(samples.data(), bytes_out.data(), total);
        live_track = {bits, channels, env_int("QREC_TRACK_RATE", 22050), frames,
                      samples.data()};
        speaking = true;
        module_tts_output_server(&live_track,
                                 static_cast<AudioFormat>(env_int("QREC_TRACK_BIG_ENDIAN", 0)));
        speaking = false;
        live_track.samples = nullptr;
        record("stream_end should_stop=%d", module_should_stop);
    }
    module_report_event_end();
}

int module_speak(const char *data, size_t bytes, NRVMessageType msgtype) {
    record("speak %d %zu %s", static_cast<int>(msgtype), bytes,
           qrec::quote(std::string_view(data, bytes)).c_str());
    return -1;
}

int module_stop(void) {
    record("stop");
    return 0;
}

size_t module_pause(void) {
    record("pause");
    return 0;
}
