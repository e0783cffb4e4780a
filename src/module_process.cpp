// SPDX-License-Identifier: BSD-2-Clause
/*
 * The command loop and everything that writes to standard output while
 * it runs: the protocol's command table and handlers (message intake,
 * settings blocks, voice listing, debug switch, stop, pause, quit), the
 * serialised reply writer module_send with the fixed replies and events,
 * and the 705 audio writer with its command pass after every block.
 *
 * Standard output is written through stdio alone. module_stdout_mutex is
 * held while one reply is formatted, for each whole audio block and for
 * the whole voice list, and never across a flush, a hook or a command
 * pass; since the pass between audio blocks runs with it released, a
 * reply written there falls between two blocks, never inside one.
 *
 * The shared flags module_should_stop and audio_server, and the mutex,
 * live here. Input state belongs to the line reader; the loop keeps one
 * flag of its own between lines, quit_after_speaking, for a QUIT whose
 * release module_close had to put off until the speaking hook returns:
 * the blocking loop answers it then.
 */
#include <assert.h>
#include <limits.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <array>
#include <string_view>

#include "nrv_module_main.h"

pthread_mutex_t module_stdout_mutex = PTHREAD_MUTEX_INITIALIZER;
int module_should_stop = 0;
int audio_server = 0;

namespace {

// A QUIT came in a pass whose release module_close put off (it answered
// 1); the blocking loop answers it when the speaking hook has returned.
bool quit_after_speaking = false;

// What a command handler is given, and what it hands back to the loop.
struct command_call {
    int fd;      // the descriptor commands and data blocks are read from
    int block;   // 0 in the pass between audio blocks
    char *line;  // the command line; freed by the loop unless a handler
                 // took it and left null here (QUIT)
    bool quit;   // set by QUIT: the blocking loop ends with 0
};

// ---- Replies ----

void send_line(const char *text) { module_send("%s", text); }

// ---- Message intake ----

constexpr size_t first_text_bytes = 128;

// The text of one message being received: data lines back to back.
struct message_text {
    char *data;        // malloc'd; null when even the first block failed
    size_t allocated;  // size of data in bytes
    size_t length;     // bytes appended so far
    int lines;         // data lines appended (saturates at INT_MAX)
    bool failed;       // an allocation failed: the rest of the block is skipped
};

/*
 * Appends one data line without its leading dot, if any. A line that the
 * reader cut short at a NUL byte lost its line feed; it is completed with
 * one, so that lines stay apart and the last one's line feed is the byte
 * that becomes the terminator. On a failed growth the text is released
 * and marked failed; later appends then do nothing.
 */
void append_data_line(message_text &t, const char *line) {
    if (t.failed) return;
    size_t len = strlen(line);
    bool cut = len == 0 || line[len - 1] != '\n';
    const char *from = line;
    if (*from == '.') {
        ++from;
        --len;
    }
    size_t need = len + (cut ? 1 : 0);
    size_t size = t.allocated;
    while (size - t.length < need) {
        if (size > SIZE_MAX / 2) {
            size = 0;
            break;
        }
        size *= 2;
    }
    if (size != t.allocated) {
        char *grown = size != 0 ? static_cast<char *>(realloc(t.data, size)) : nullptr;
        if (grown == nullptr) {
            free(t.data);
            t = {nullptr, 0, 0, 0, true};
            return;
        }
        t.data = grown;
        t.allocated = size;
    }
    memcpy(t.data + t.length, from, len);
    t.length += len;
    if (cut) t.data[t.length++] = '\n';
    if (t.lines < INT_MAX) ++t.lines;
}

/*
 * The intake of SPEAK, SOUND_ICON, CHAR and KEY: acknowledges, reads the
 * data block up to its lone dot (always waiting, also inside a pass),
 * refuses empty and, except for text, multi-line messages, and hands the
 * rest to module_speak_sync. Every refusal comes after the whole block
 * has been read, so the next line read is a command again; that holds
 * for a failed allocation too, which is answered 401 after the block.
 * Input that ends inside the block drops the message without a reply.
 */
void cmd_speak(const command_call &c, NRVMessageType msgtype) {
    message_text t = {static_cast<char *>(malloc(first_text_bytes)), first_text_bytes, 0, 0, false};
    if (t.data == nullptr) t = {nullptr, 0, 0, 0, true};
    module_send("202 OK RECEIVING MESSAGE\n");
    for (;;) {
        char *line = module_readline(c.fd, 1);
        if (line == nullptr) {
            free(t.data);
            return;
        }
        bool end = strcmp(line, ".\n") == 0;
        if (!end) append_data_line(t, line);
        free(line);
        if (end) break;
    }
    if (t.failed) {
        send_line("401 ERROR INTERNAL\n");
        return;
    }
    if (t.length == 0 || t.length == 1) {
        // No data at all, or one empty line: nothing to speak.
        free(t.data);
        send_line("301 ERROR CANT SPEAK\n");
        return;
    }
    if (msgtype != NRV_MSGTYPE_TEXT && t.lines > 1) {
        free(t.data);
        send_line("305 DATA MORE THAN ONE LINE\n");
        return;
    }
    // The last byte is the last data line's line feed.
    size_t bytes = t.length - 1;
    t.data[bytes] = '\0';
    if ((msgtype == NRV_MSGTYPE_CHAR || msgtype == NRV_MSGTYPE_KEY) &&
        std::string_view(t.data, bytes) == "space") {
        memcpy(t.data, " ", 2);
        bytes = 1;
    }
    // The flag belongs to the stream in progress: a message refused in
    // the pass between its audio blocks must leave it as it found it.
    int stop_requested = module_should_stop;
    module_should_stop = 0;
    module_speak_sync(t.data, bytes, msgtype);
    if (!c.block && stop_requested) module_should_stop = 1;
    free(t.data);
}

// The table's entry for each message command.
template <NRVMessageType msgtype>
void cmd_speak_as(command_call &c) {
    cmd_speak(c, msgtype);
}

// ---- Settings blocks ----

using setter = int (*)(const char *name, const char *value);

/*
 * Reads a settings block of name=value lines up to its lone dot and hands
 * each pair to `set`. The name is the first token delimited by "=", the
 * value the rest of the line up to its line feed, untrimmed; both point
 * into the line, which is freed when the setter returns. Lines after a
 * failing one are still read and set; the error answered is that of the
 * last failing line. Returns 0 when every line was accepted, -1 after
 * sending the error, or -1 without a reply when input ended in the block.
 */
int cmd_params(int fd, unsigned ack, const char *type, setter set) {
    module_send("%u OK RECEIVING %sSETTINGS\n", ack, type);
    const char *error = nullptr;
    for (;;) {
        char *line = module_readline(fd, 1);
        if (line == nullptr) return -1;
        if (strcmp(line, ".\n") == 0) {
            free(line);
            break;
        }
        char *rest = nullptr;
        char *name = strtok_r(line, "=", &rest);
        char *value = name != nullptr ? strtok_r(nullptr, "\n", &rest) : nullptr;
        if (name == nullptr || value == nullptr)
            error = "302 ERROR BAD SYNTAX";
        else if (set(name, value) != 0)
            error = "303 ERROR INVALID PARAMETER OR VALUE";
        free(line);
    }
    if (error == nullptr) return 0;
    module_send("%s\n", error);
    return -1;
}

/*
 * The setter of AUDIO blocks once the server plays the audio itself: the
 * only setting accepted is that audio goes through the server.
 */
int module_audio_set_through_server(const char *cur_item, const char *cur_value) {
    return strcmp(cur_item, "audio_output_method") == 0 && strcmp(cur_value, "server") == 0 ? 0
                                                                                            : -1;
}

void cmd_set(command_call &c) {
    if (cmd_params(c.fd, 203, "", module_set) == 0) send_line("203 OK SETTINGS RECEIVED\n");
}

void cmd_audio(command_call &c) {
    if (audio_server) {
        if (cmd_params(c.fd, 207, "AUDIO ", module_audio_set_through_server) == 0)
            send_line("203 OK AUDIO INITIALIZED\n");
        return;
    }
    if (cmd_params(c.fd, 207, "AUDIO ", module_audio_set) != 0) return;
    char *status = nullptr;
    if (module_audio_init(&status) == 0)
        send_line("203 OK AUDIO INITIALIZED\n");
    else
        module_send("300-%s\n300 MODULE ERROR\n", status != nullptr ? status : "");
    free(status);
}

void cmd_loglevel(command_call &c) {
    if (cmd_params(c.fd, 207, "LOGLEVEL ", module_loglevel_set) == 0)
        send_line("203 OK LOGLEVEL SET\n");
}

// ---- Voice listing ----

// Releases a voice list as the adapter built it: every record's strings,
// the record, the array. Accepts null.
void free_voices(NRVVoice **voices) {
    if (voices == nullptr) return;
    for (NRVVoice **v = voices; *v != nullptr; ++v) {
        free((*v)->name);
        free((*v)->language);
        free((*v)->variant);
        free(*v);
    }
    free(voices);
}

// A requested language selects a voice's language as a whole, or its
// part before the first "-" (en selects en-US, not eng or en_US).
bool language_selects(const char *request, const char *language) {
    if (strcasecmp(request, language) == 0) return true;
    const char *dash = strchr(language, '-');
    if (dash == nullptr) return false;
    size_t base = static_cast<size_t>(dash - language);
    return strlen(request) == base && strncasecmp(request, language, base) == 0;
}

/*
 * LIST VOICES [language [variant]]: writes one "200-" line per qualifying
 * voice and the closing line, all under module_stdout_mutex so that no
 * other output comes between them. The list is fetched before the line
 * is examined and released once written. Tokens are cut in the line.
 */
void cmd_list_voices(command_call &c) {
    NRVVoice **voices = module_list_voices();
    if (voices == nullptr) {
        send_line("304 CANT LIST VOICES\n");
        return;
    }
    char *rest = nullptr;
    const char *list = strtok_r(c.line, " \n", &rest);
    const char *word = strtok_r(nullptr, " \n", &rest);
    if (list == nullptr || strcmp(list, "LIST") != 0 || word == nullptr ||
        strcmp(word, "VOICES") != 0) {
        free_voices(voices);
        send_line("401 ERROR INTERNAL\n");
        return;
    }
    const char *language = strtok_r(nullptr, " \n", &rest);
    const char *variant = language != nullptr ? strtok_r(nullptr, " \n", &rest) : nullptr;

    int sent = 0;
    pthread_mutex_lock(&module_stdout_mutex);
    for (NRVVoice **v = voices; *v != nullptr; ++v) {
        if ((*v)->name == nullptr) continue;
        const char *lang = (*v)->language != nullptr ? (*v)->language : "none";
        const char *var = (*v)->variant != nullptr ? (*v)->variant : "none";
        if (language != nullptr && !language_selects(language, lang)) continue;
        if (variant != nullptr && strcasecmp(variant, var) != 0) continue;
        fprintf(stdout, "200-%s\t%s\t%s\n", (*v)->name, lang, var);
        ++sent;
    }
    fputs(sent > 0 ? "200 OK VOICE LIST SENT\n" : "304 CANT LIST VOICES\n", stdout);
    pthread_mutex_unlock(&module_stdout_mutex);
    fflush(stdout);
    free_voices(voices);
}

// ---- Debug switch ----

// DEBUG ON <path> | DEBUG OFF. The path points into the line, which the
// loop frees after this returns.
void cmd_debug(command_call &c) {
    char *rest = nullptr;
    const char *word = strtok_r(c.line, " \n", &rest);
    if (word == nullptr) {
        send_line("302 ERROR BAD SYNTAX\n");
        return;
    }
    if (strcmp(word, "DEBUG") != 0) {
        send_line("401 ERROR INTERNAL\n");
        return;
    }
    const char *state = strtok_r(nullptr, " \n", &rest);
    int result;
    if (state != nullptr && strcmp(state, "ON") == 0) {
        const char *path = strtok_r(nullptr, " \n", &rest);
        if (path == nullptr) {
            send_line("302 ERROR BAD SYNTAX\n");
            return;
        }
        result = module_debug(1, path);
    } else if (state != nullptr && strcmp(state, "OFF") == 0) {
        result = module_debug(0, nullptr);
    } else {
        send_line("302 ERROR BAD SYNTAX\n");
        return;
    }
    if (result == 0)
        module_send("200 OK DEBUGGING %s\n", state);
    else
        send_line("303 CANT OPEN CUSTOM DEBUG FILE\n");
}

// ---- Stop, pause, quit ----

void cmd_stop(command_call &) {
    module_should_stop = 1;
    module_stop();
}

void cmd_pause(command_call &) {
    module_should_stop = 1;
    module_pause();
}

/*
 * QUIT releases the engine before answering. Met in the pass between
 * audio blocks, it ends the process right there: returning would let the
 * audio writer send further blocks after the 210, and the entry would
 * answer "399 ERR MODULE CLOSED" and release the engine a second time.
 * When the adapter cannot release yet (module_close answers 1: the
 * message is still being made), the pass and the stream end here, and
 * the loop answers once the speaking hook has returned.
 */
void cmd_quit(command_call &c) {
    free(c.line);
    c.line = nullptr;
    if (module_close() != 0) {
        quit_after_speaking = true;
        module_should_stop = 1;
        c.quit = true;
        return;
    }
    send_line("210 OK QUIT\n");
    fflush(stdout);
    if (!c.block) exit(0);
    c.quit = true;
}

// ---- The command table ----

struct command {
    std::string_view text;  // the whole line, or its first bytes
    bool by_prefix;         // matched on its first bytes only
    void (*run)(command_call &);
};

// Tested in this order; the first match wins.
constexpr std::array<command, 12> commands = {{
    {"SPEAK\n", false, cmd_speak_as<NRV_MSGTYPE_TEXT>},
    {"SOUND_ICON\n", false, cmd_speak_as<NRV_MSGTYPE_SOUND_ICON>},
    {"CHAR\n", false, cmd_speak_as<NRV_MSGTYPE_CHAR>},
    {"KEY\n", false, cmd_speak_as<NRV_MSGTYPE_KEY>},
    {"STOP\n", false, cmd_stop},
    {"PAUSE\n", false, cmd_pause},
    {"LIST VOICES", true, cmd_list_voices},
    {"SET\n", false, cmd_set},
    {"AUDIO\n", false, cmd_audio},
    {"LOGLEVEL\n", false, cmd_loglevel},
    {"DEBUG", true, cmd_debug},
    {"QUIT\n", false, cmd_quit},
}};

const command *find_command(std::string_view line) {
    for (const command &c : commands)
        if (c.by_prefix ? line.starts_with(c.text) : line == c.text) return &c;
    return nullptr;
}

// ---- Audio framing ----
//
// A block is built whole in `stage` and handed to stdio in one fwrite.
// Escaping byte by byte through the stream costs a call per escaped byte
// and per run between two of them; speech has one byte in about 85 to
// escape, so those calls were most of the writer's work. Built here, the
// block costs a search whose cursor never goes back, a copy, and one
// call. The search takes 32 bytes at a time with SSE2, and is libc's
// memchr without.

constexpr size_t max_block_bytes = 10000;
constexpr unsigned char escape = 0x7d;
constexpr unsigned char invert = 0x20;
constexpr unsigned char line_feed = 0x0a;

// The widest decimal int32_t, "-2147483648".
constexpr size_t max_int_chars = 11;
constexpr std::string_view block_fields[] = {
    "705-bits=",          "\n705-num_channels=", "\n705-sample_rate=",
    "\n705-num_samples=", "\n705-big_endian=",
};
constexpr std::string_view payload_start{"\n705-AUDIO\0", 11};
constexpr std::string_view block_end = "\n705 AUDIO\n";

constexpr size_t max_header_bytes() {
    size_t n = payload_start.size();
    for (std::string_view f : block_fields) n += f.size() + max_int_chars;
    return n;
}

constexpr size_t stage_bytes = max_header_bytes() + 2 * max_block_bytes + block_end.size();

// One block on its way out: header, escaped payload, end. Used only while
// module_stdout_mutex is held.
unsigned char stage[stage_bytes];

unsigned char *put_text(unsigned char *out, std::string_view text) {
    memcpy(out, text.data(), text.size());
    return out + text.size();
}

// Writes `value` as printf's "%d" would.
unsigned char *put_int(unsigned char *out, int32_t value) {
    uint32_t magnitude = static_cast<uint32_t>(value);
    if (value < 0) {
        *out++ = '-';
        magnitude = 0u - magnitude;
    }
    unsigned char digits[max_int_chars];
    size_t n = 0;
    do {
        digits[n++] = static_cast<unsigned char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    while (n > 0) *out++ = digits[--n];
    return out;
}

unsigned char *put_escaped(unsigned char *out, unsigned char byte) {
    out[0] = escape;
    out[1] = static_cast<unsigned char>(byte ^ invert);
    return out + 2;
}

#if defined(__SSE2__) && !defined(QUORLIN_PORTABLE_ESCAPE)

// The tail of a payload, shorter than a window, byte by byte.
unsigned char *escape_bytes(unsigned char *out, const unsigned char *from,
                            const unsigned char *end) {
    for (; from != end; ++from)
        if (*from == escape || *from == line_feed)
            out = put_escaped(out, *from);
        else
            *out++ = *from;
    return out;
}

constexpr size_t vector_bytes = 16;
constexpr size_t window_bytes = 2 * vector_bytes;

// One bit for each of the 16 `bytes` that is 0x7D or 0x0A, lowest first.
unsigned special_bytes(__m128i bytes, __m128i escapes, __m128i line_feeds) {
    const __m128i hit =
        _mm_or_si128(_mm_cmpeq_epi8(bytes, escapes), _mm_cmpeq_epi8(bytes, line_feeds));
    return static_cast<unsigned>(_mm_movemask_epi8(hit));
}

/*
 * Copies the payload [from, end) to `out` with 0x7D and 0x0A escaped and
 * returns the end of what it wrote; `out` must have room for twice the
 * payload. A window of 32 bytes is compared with both values at once and
 * stored whole; when a byte in it needs escaping, only the bytes before
 * the first such byte are kept, its escape follows, and the next window
 * starts at the byte after it. The cursor only moves forward, so no byte
 * behind it is looked at again. The whole store never passes the end of
 * the escaped payload: 32 bytes still to come make at least 32 more.
 * Speech has a byte to escape about every 85 bytes, so windows wider
 * than two vectors would mostly be cut short.
 */
unsigned char *escape_payload(unsigned char *out, const unsigned char *from,
                              const unsigned char *end) {
    const __m128i escapes = _mm_set1_epi8(static_cast<char>(escape));
    const __m128i line_feeds = _mm_set1_epi8(static_cast<char>(line_feed));
    // A window may start anywhere before `last`: it then ends by `end`.
    const size_t bytes = static_cast<size_t>(end - from);
    const unsigned char *const last = bytes < window_bytes ? from : end - (window_bytes - 1);
    while (from < last) {
        const __m128i low = _mm_loadu_si128(reinterpret_cast<const __m128i *>(from));
        const __m128i high =
            _mm_loadu_si128(reinterpret_cast<const __m128i *>(from + vector_bytes));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(out), low);
        _mm_storeu_si128(reinterpret_cast<__m128i *>(out + vector_bytes), high);
        const uint32_t mask = special_bytes(low, escapes, line_feeds) |
                              special_bytes(high, escapes, line_feeds) << vector_bytes;
        if (mask == 0) {
            from += window_bytes;
            out += window_bytes;
            continue;
        }
        const unsigned plain = static_cast<unsigned>(__builtin_ctz(mask));
        out = put_escaped(out + plain, from[plain]);
        from += plain + 1;
    }
    return escape_bytes(out, from, end);
}

#else

const unsigned char *find_byte(const unsigned char *from, const unsigned char *end,
                               unsigned char byte) {
    const void *at = memchr(from, byte, static_cast<size_t>(end - from));
    return at != nullptr ? static_cast<const unsigned char *>(at) : end;
}

/*
 * The same where SSE2 is not targeted (a 32-bit build without -msse2,
 * another processor): libc's memchr, vectorised on most systems whatever
 * the program was built for, finds the next of each of the two values;
 * the run before the nearer one is copied, and only the value just
 * consumed is searched for again, so each byte is searched at most once
 * for each value. A word-at-a-time search written here cost four
 * instructions a byte, twice what this costs.
 */
unsigned char *escape_payload(unsigned char *out, const unsigned char *from,
                              const unsigned char *end) {
    const unsigned char *next_escape = find_byte(from, end, escape);
    const unsigned char *next_lf = find_byte(from, end, line_feed);
    for (;;) {
        const unsigned char *special = next_escape < next_lf ? next_escape : next_lf;
        const size_t run = static_cast<size_t>(special - from);
        memcpy(out, from, run);
        out += run;
        if (special == end) return out;
        out = put_escaped(out, *special);
        from = special + 1;
        if (special == next_escape)
            next_escape = find_byte(from, end, escape);
        else
            next_lf = find_byte(from, end, line_feed);
    }
}

#endif

/*
 * Writes one whole 705 block for `mytrack`, whose samples and num_samples
 * describe just this block, `payload_bytes` bytes of it (at most
 * max_block_bytes), from the lock to the flush. The stream's own locking
 * is skipped: the block is written with module_stdout_mutex held, and
 * the process has one thread.
 */
void module_tts_output_send_server(const AudioTrack &mytrack, AudioFormat format,
                                   size_t payload_bytes) {
    assert(payload_bytes <= max_block_bytes);
    const unsigned char *payload = reinterpret_cast<const unsigned char *>(mytrack.samples);
    pthread_mutex_lock(&module_stdout_mutex);
    unsigned char *out = stage;
    out = put_int(put_text(out, block_fields[0]), mytrack.bits);
    out = put_int(put_text(out, block_fields[1]), mytrack.num_channels);
    out = put_int(put_text(out, block_fields[2]), mytrack.sample_rate);
    out = put_int(put_text(out, block_fields[3]), mytrack.num_samples);
    out = put_int(put_text(out, block_fields[4]), static_cast<int32_t>(format));
    out = put_text(out, payload_start);
    out = escape_payload(out, payload, payload + payload_bytes);
    out = put_text(out, block_end);
    fwrite_unlocked(stage, 1, static_cast<size_t>(out - stage), stdout);
    pthread_mutex_unlock(&module_stdout_mutex);
    fflush(stdout);
}

}  // namespace

// ---- The loop ----

/*
 * A pass between audio blocks ends as soon as a STOP or PAUSE has set
 * module_should_stop: the stream ends after the block in progress, and
 * what the server sent behind the command stays in the reader for the
 * loop, after the 702. A server stops the current message and at once
 * sends the next; read in the pass, that message would be refused.
 */
int module_process(int fd, int block) {
    for (;;) {
        char *line = module_readline(fd, block);
        if (line == nullptr) return -1;
        command_call call = {fd, block, line, false};
        const command *c = find_command(line);
        if (c == nullptr)
            send_line("300 ERR UNKNOWN COMMAND\n");
        else
            c->run(call);
        if (call.quit) return 0;
        free(call.line);
        if (block && quit_after_speaking) {
            send_line("210 OK QUIT\n");
            return 0;
        }
        fflush(stdout);
        if (!block && module_should_stop) return -1;
    }
}

// ---- Replies and events ----

void module_send(const char *format, ...) {
    va_list args;
    va_start(args, format);
    pthread_mutex_lock(&module_stdout_mutex);
    vfprintf(stdout, format, args);
    pthread_mutex_unlock(&module_stdout_mutex);
    va_end(args);
    fflush(stdout);
}

void module_speak_ok(void) { send_line("200 OK SPEAKING\n"); }
void module_speak_error(void) { send_line("301 ERROR CANT SPEAK\n"); }
void module_report_event_begin(void) { send_line("701 BEGIN\n"); }
void module_report_event_end(void) { send_line("702 END\n"); }
void module_report_event_stop(void) { send_line("703 STOP\n"); }
void module_report_event_pause(void) { send_line("704 PAUSE\n"); }

void module_report_index_mark(const char *mark) {
    if (mark != nullptr) module_send("700-%s\n700 INDEX MARK\n", mark);
}

void module_report_icon(const char *icon) {
    if (icon != nullptr) module_send("706-%s\n706 ICON\n", icon);
}

void module_audio_set_server(void) { audio_server = 1; }

// ---- Audio streaming ----

/*
 * Streams `track` as 705 blocks of at most max_block_bytes payload bytes,
 * running one non-blocking command pass after every block, and stops
 * before the next block once STOP or PAUSE set module_should_stop (the
 * pass then ends too, leaving later commands unread). The
 * track is read afresh for each block (its samples and its length), so a
 * track that grew during a pass is sent to its new end. Tracks whose
 * frames are not a whole number of bytes, or too large for one block,
 * are not framed at all: nothing is written for them.
 */
void module_tts_output_server(const AudioTrack *track, AudioFormat format) {
    if (track->num_samples <= 0) return;
    const int32_t bits = track->bits;
    const int32_t num_channels = track->num_channels;
    const int32_t sample_rate = track->sample_rate;
    if (bits <= 0 || num_channels <= 0) return;
    const int64_t frame_bits = int64_t{bits} * num_channels;
    if (frame_bits % 8 != 0 || frame_bits / 8 > int64_t{max_block_bytes}) return;
    const size_t sample_size = static_cast<size_t>(frame_bits / 8);
    const int32_t capacity = static_cast<int32_t>(max_block_bytes / sample_size);

    int32_t samplepos = 0;
    while (samplepos < track->num_samples) {
        if (module_should_stop) return;
        int32_t frames = track->num_samples - samplepos;
        if (frames > capacity) frames = capacity;
        // Positions are computed in 64 bits; a track whose bytes lie
        // beyond the address space cannot be real, and is not read.
        const uint64_t offset = uint64_t{static_cast<uint32_t>(samplepos)} * sample_size;
        const size_t payload_bytes = static_cast<size_t>(frames) * sample_size;
        if (offset > SIZE_MAX - payload_bytes) return;
        AudioTrack mytrack = {bits, num_channels, sample_rate, frames, nullptr};
        mytrack.samples = reinterpret_cast<int16_t *>(
            reinterpret_cast<unsigned char *>(track->samples) + static_cast<size_t>(offset));
        module_tts_output_send_server(mytrack, format, payload_bytes);
        module_process(0, 0);
        samplepos += frames;
    }
}
