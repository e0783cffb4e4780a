// SPDX-License-Identifier: GPL-3.0-or-later
/*
 * The reference engine: libibmeci50.so on eSpeak NG, with libsoxr for the
 * 8000 and 11025 Hz output rates. It exports the seventeen engine calls
 * of eci_corvane.h and nothing else (the library builds with hidden
 * visibility and only that header's declarations are made visible).
 *
 * eSpeak NG is one global engine per process: it is initialised once, at
 * the first eciNew, in synchronous mode, and stays for the life of the
 * process. Instances are independent records (voice slots, parameters,
 * pending text, dictionaries, output buffer, resampler); each synthesis
 * hands its instance's voice and parameters to the global engine first,
 * so instances take turns. Synthesis runs wholly inside eciSynthesize,
 * on the caller's thread: eSpeak NG calls on_espeak_samples, which copies
 * or resamples each chunk into the caller's output buffer and calls the
 * caller's callback. eSpeak NG is never called from inside its callback,
 * so every call that would reach it refuses while a synthesis runs.
 *
 * Indexes never reach eSpeak NG: it is given exactly the text it would
 * be given without them, so they cannot change the audio (its SSML marks
 * do change it, around brackets, quotes and a final "!"). Each index
 * remembers the character of that text it precedes; the first word at or
 * after it that has a word event places it, at that word's first phoneme
 * event that is not a pause (the word event itself lies before the pause
 * leading into the word, or inside the last sound of the word before).
 * Event samples are scaled back where eSpeak NG sped its audio up. The
 * samples are cut at that place and the reply goes between the two
 * parts; every index not replied by the end of the audio is replied
 * after the message's last samples. Indexes are placed in order, so
 * replies come in the order the indexes were inserted, each exactly once.
 *
 * All calls are made on one thread. Nothing here throws: the library
 * builds without exceptions and uses the C allocator throughout.
 */
#include <espeak-ng/speak_lib.h>
#include <soxr.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#pragma GCC visibility push(default)
#include "eci_corvane.h"
#pragma GCC visibility pop

#include "reference_text.h"

namespace {

using reference::dict_volume;
using reference::volume_kind;

/* eSpeak NG's buffer length bounds the samples per chunk, about 22 per
 * millisecond: 900 ms keeps every chunk within a 20000-sample output
 * buffer, so the usual buffer never needs re-chunking. */
constexpr int espeak_buffer_ms = 900;

/* Voice slots as the engine numbers them: 0 speaks, 1 to 8 are the
 * read-only presets, 9 to 16 the user's. */
constexpr int voice_slot_count = 17;
constexpr int first_preset_slot = 1;
constexpr int preset_count = 8;
constexpr int voice_param_limit = 8;   /* ECIVoiceParam values are 1 to 7 */
constexpr int engine_param_limit = 12; /* ECIParam values are below 12 */
constexpr int dict_volume_count = 3;

/* eciLoadDict and eciSetDict results besides those of reference_text.h. */
constexpr int dict_invalid_argument = 4;

/* The eight preset voices, from slot 1 on, in the engine's order: an
 * American English base with an eSpeak NG variant that fits the name. */
constexpr const char *preset_voice[preset_count] = {
    "en-us",         /* Wade: the plain American male voice */
    "en-us+f3",      /* Flo: adult female */
    "en-us+Annie",   /* Bobbie: child, high and bright */
    "en-us+m3",      /* Male2: lower, measured male */
    "en-us+m7",      /* Male3: brighter, strongly voiced male */
    "en-us+f4",      /* Female2: second adult female */
    "en-us+grandma", /* Grandma: older female, unsteady pitch */
    "en-us+grandpa", /* Grandpa: older male, unsteady pitch */
};

/* Default value and inclusive range of each voice parameter, indexed by
 * ECIVoiceParam; the speed range is that of ECI units. */
struct param_range {
    int low;
    int high;
    int initial;
};
constexpr param_range voice_range[voice_param_limit] = {
    {0, -1, 0},   /* unused */
    {0, 100, 50}, /* eciHeadSize */
    {0, 100, 50}, /* eciPitchBaseline: 50 is the variant's own pitch */
    {0, 100, 50}, /* eciPitchFluctuation: 50 is the variant's own range */
    {0, 100, 0},  /* eciRoughness */
    {0, 100, 0},  /* eciBreathiness */
    {0, 250, 50}, /* eciSpeed: 50 is eSpeak NG's normal 175 words a minute */
    {0, 100, 90}, /* eciVolume: 90 is eSpeak NG's normal volume */
};
/* With real-world units the speed is in words per minute. */
constexpr param_range real_world_speed = {0, 1000, 175};
/* eSpeak NG speaks no slower than this. */
constexpr int espeak_min_wpm = 80;
/* From this rate up eSpeak NG synthesises at its normal rate and speeds
 * each chunk up by rate / normal before handing it over; an event's
 * sample then counts the earlier chunks as handed over but its offset
 * into its own chunk as it was before the speed-up (measured on eSpeak
 * NG 1.51 for every preset: a message's length falls as 1/rate from
 * here, and only from here; the index tests check it at two rates). */
constexpr int espeak_speedup_wpm = 450;
constexpr int espeak_normal_wpm = 175;

/* Range and initial value of each engine parameter, indexed by ECIParam;
 * an empty range marks a parameter this engine does not have. */
constexpr param_range engine_range[engine_param_limit] = {
    {0, -1, 0}, {0, -1, 0}, {0, 3, 0}, /* eciTextMode: bit 0 spells, bit 1 speaks punctuation */
    {0, 1, 1},                         /* eciDictionary: 0 leaves the abbreviation volume out */
    {0, -1, 0}, {0, 2, 2},             /* eciSampleRate: 8000, 11025, 22050 Hz */
    {0, -1, 0}, {0, -1, 0}, {0, 1, 0}, /* eciRealWorldUnits: speed in words per minute */
    {0, -1, 0}, {0, 1, 0},             /* eciNumberMode: 1 reads digits one by one */
    {0, 1, 0},                         /* eciPhrasePrediction: stored only */
};
constexpr int rate_hz[3] = {8000, 11025, 22050};

struct voice_slot {
    const char *espeak_voice;     /* an entry of preset_voice */
    int value[voice_param_limit]; /* by ECIVoiceParam */
};

/* A dictionary set: three volumes, owned by the instance that made it. */
struct dict_set {
    dict_set *next;                        /* the instance's other sets */
    dict_volume volume[dict_volume_count]; /* by ECIDictVolume */
};

/* An index given to eciInsertIndex, and its place once synthesis starts. */
struct index_entry {
    int number;      /* the caller's non-zero index number */
    size_t offset;   /* bytes of pending text before it */
    size_t char_pos; /* 1-based character of eSpeak NG's text it precedes */
    uint64_t target; /* output samples of the message before its reply */
};

/* A growable array of indexes, in the order they were inserted. */
struct index_list {
    index_entry *items;
    size_t count;
    size_t cap;
};

struct instance {
    instance *next;                     /* the other live instances */
    ECICallback callback;               /* null: samples are dropped */
    void *callback_data;                /* handed back to the callback */
    short *buffer;                      /* the caller's output buffer, or null */
    size_t buffer_samples;              /* its size in samples */
    int param[engine_param_limit];      /* by ECIParam */
    voice_slot voice[voice_slot_count]; /* slot 0 is the voice that speaks */
    char *text;                         /* text added since the last synthesis */
    size_t text_len;                    /* bytes in text, terminator excluded */
    size_t text_cap;                    /* bytes allocated for text */
    dict_set *dicts;                    /* sets made by eciNewDict */
    dict_set *active_dict;              /* the set eciSetDict chose, or null */
    soxr_t resampler;                   /* from eSpeak NG's rate to resampler_hz */
    int resampler_hz;                   /* output rate of resampler */
    bool halted;                        /* delivery of this message has ended */
    index_list pending;                 /* indexes inserted since the last synthesis */
    index_list marks;                   /* the indexes of the message being synthesised */
    size_t marks_placed;                /* marks.items[0..placed) have a target */
    size_t marks_settled;               /* of those, [0..settled) have their final target */
    size_t marks_replied;               /* marks.items[0..replied) have been replied */
    size_t last_word_pos;               /* character of the latest word event */
    size_t sound_word_pos;              /* word event position the unsettled marks belong to */
    int speedup_wpm;                    /* the rate eSpeak NG speeds its chunks up to, or 0 */
    uint64_t espeak_received;           /* samples of the message eSpeak NG has handed over */
    uint64_t delivered;                 /* output samples of the message delivered */
};

struct engine_state {
    bool initialised;         /* espeak_Initialize has succeeded */
    int espeak_hz;            /* eSpeak NG's own output rate */
    instance *instances;      /* every live instance */
    instance *speaking;       /* the instance inside espeak_Synth, or null */
    const char *loaded_voice; /* the voice eSpeak NG has selected, or null */
};

constinit engine_state engine{};

instance *find_instance(ECIHand handle) {
    for (instance *h = engine.instances; h; h = h->next)
        if (h == handle) return h;
    return nullptr;
}

dict_set *find_dict(instance *h, ECIDictHand handle) {
    for (dict_set *d = h->dicts; d; d = d->next)
        if (d == handle) return d;
    return nullptr;
}

/* One callback of the message; a refusal ends the message's delivery, as
 * the caller asked, for samples and index replies alike. */
bool send(instance *h, ECIMessage msg, long value) {
    if (h->halted) return false;
    if (h->callback && h->callback(h, msg, value, h->callback_data) == eciDataNotProcessed)
        h->halted = true;
    return !h->halted;
}

/* Replies every settled index whose samples have all been delivered. */
bool reply_due(instance *h) {
    while (h->marks_replied < h->marks_settled &&
           h->marks.items[h->marks_replied].target <= h->delivered) {
        if (!send(h, eciIndexReply, h->marks.items[h->marks_replied].number)) return false;
        h->marks_replied++;
    }
    return !h->halted;
}

/* The caller's callback gets n samples that are in its buffer, cut where
 * a settled index falls among them: the samples before it, its reply,
 * then the rest moved to the front of the buffer. False when delivery of
 * this message has ended, by refusal or by eciStop. */
bool deliver(instance *h, size_t n) {
    for (;;) {
        if (!reply_due(h)) return false;
        if (n == 0) return true;
        size_t part = n;
        if (h->marks_replied < h->marks_settled) {
            uint64_t gap = h->marks.items[h->marks_replied].target - h->delivered;
            if (gap < part) part = static_cast<size_t>(gap);
        }
        if (!send(h, eciWaveformBuffer, static_cast<long>(part))) return false;
        h->delivered += part;
        n -= part;
        if (n > 0) memmove(h->buffer, h->buffer + part, n * sizeof(short));
    }
}

/* eSpeak NG gives a punctuation mark it speaks aloud a word event at the
 * mark's character plus this; no two words of one message are that far
 * apart unless the text has a run of this many blanks, where the index
 * after the run is then placed at a later word, never too early. */
constexpr size_t spoken_punctuation_offset = 2047;

/* The output sample where an event of the chunk of `count` samples now
 * handed over lies. Its offset into the chunk is scaled back when eSpeak
 * NG sped the chunk up, and never runs past the chunk's end, so that no
 * event points beyond the audio it came with. */
uint64_t event_place(const instance *h, const espeak_EVENT *ev, size_t count) {
    uint64_t start = h->espeak_received;
    uint64_t sample = static_cast<uint64_t>(ev->sample);
    uint64_t offset = sample > start ? sample - start : 0;
    if (h->speedup_wpm > 0)
        offset = offset * espeak_normal_wpm / static_cast<uint64_t>(h->speedup_wpm);
    if (offset > count) offset = count;
    uint64_t place = start + offset;
    if (h->resampler) {
        uint64_t hz = static_cast<uint64_t>(h->resampler_hz);
        uint64_t from = static_cast<uint64_t>(engine.espeak_hz);
        place = (place * hz + from / 2) / from;
    }
    return place;
}

/* Every placed index keeps the target it has. */
void settle_marks(instance *h) { h->marks_settled = h->marks_placed; }

/* A word event: the indexes waiting at or before its word are placed at
 * it, for now. eSpeak NG's word event lies before the pause that leads
 * into the word (up to a fifth of a second in slow speech), or inside
 * the last sound of the word before when the word starts with a vowel,
 * so they wait for the word's first sound before they settle; only at
 * the message's first sample is there nothing to wait for. */
void place_at_word(instance *h, const espeak_EVENT *ev, size_t count) {
    settle_marks(h);
    size_t pos = static_cast<size_t>(ev->text_position);
    if (pos > h->last_word_pos && pos - h->last_word_pos >= spoken_punctuation_offset)
        pos -= spoken_punctuation_offset;
    if (pos > h->last_word_pos) h->last_word_pos = pos;
    uint64_t target = event_place(h, ev, count);
    while (h->marks_placed < h->marks.count && h->marks.items[h->marks_placed].char_pos <= pos) {
        uint64_t floor = h->marks_placed > 0 ? h->marks.items[h->marks_placed - 1].target : 0;
        h->marks.items[h->marks_placed].target = target < floor ? floor : target;
        h->marks_placed++;
    }
    h->sound_word_pos = static_cast<size_t>(ev->text_position);
    if (target == 0) settle_marks(h);
}

/* A phoneme event: the first one of the waiting indexes' word that is
 * not a pause is where the word is first heard, and they settle there.
 * A phoneme of another word settles them where they are. */
void place_at_sound(instance *h, const espeak_EVENT *ev, size_t count) {
    if (h->marks_settled == h->marks_placed || ev->id.string[0] == '_') return;
    if (static_cast<size_t>(ev->text_position) == h->sound_word_pos) {
        uint64_t target = event_place(h, ev, count);
        for (size_t i = h->marks_settled; i < h->marks_placed; i++)
            if (h->marks.items[i].target < target) h->marks.items[i].target = target;
    }
    settle_marks(h);
}

/* Places the waiting indexes by the events that come with a chunk of
 * `count` samples, before any of them is delivered. An index whose word
 * has no event of its own is placed with the next word that has one. */
void place_marks(instance *h, const espeak_EVENT *ev, size_t count) {
    for (; ev && ev->type != espeakEVENT_LIST_TERMINATED; ev++) {
        if (ev->text_position <= 0 || ev->sample < 0) continue;
        if (ev->type == espeakEVENT_WORD) place_at_word(h, ev, count);
        if (ev->type == espeakEVENT_PHONEME) place_at_sound(h, ev, count);
    }
}

/* The message's audio has all been delivered: every index not yet
 * replied is replied now, in order, whatever its target said. */
void reply_remaining(instance *h) {
    for (size_t i = h->marks_replied; i < h->marks.count; i++) {
        index_entry &mark = h->marks.items[i];
        if (i >= h->marks_placed || mark.target > h->delivered) mark.target = h->delivered;
    }
    h->marks_placed = h->marks.count;
    settle_marks(h);
    reply_due(h);
}

/* eSpeak NG's rate: its chunk is copied in pieces of at most the buffer. */
bool deliver_copies(instance *h, const short *wav, size_t count) {
    while (count > 0) {
        size_t n = count < h->buffer_samples ? count : h->buffer_samples;
        memcpy(h->buffer, wav, n * sizeof(short));
        if (!deliver(h, n)) return false;
        wav += n;
        count -= n;
    }
    return true;
}

/* Another rate: libsoxr writes straight into the caller's buffer, which
 * is handed over each time it has output, full or not. */
bool deliver_resampled(instance *h, const short *wav, size_t count) {
    size_t odone = 0;
    do {
        size_t idone = 0;
        odone = 0;
        if (soxr_process(h->resampler, wav, count, &idone, h->buffer, h->buffer_samples, &odone))
            return false;
        wav += idone;
        count -= idone;
        if (!deliver(h, odone)) return false;
        if (idone == 0 && odone == 0) return count == 0;
    } while (count > 0 || odone == h->buffer_samples);
    return true;
}

/* At the end of a message libsoxr still holds the tail of the speech; it
 * comes out through calls without input until one yields nothing. */
bool drain_resampler(instance *h) {
    for (;;) {
        size_t odone = 0;
        if (soxr_process(h->resampler, nullptr, 0, nullptr, h->buffer, h->buffer_samples, &odone))
            return false;
        if (odone == 0 || !deliver(h, odone)) return true;
    }
}

/* eSpeak NG's synthesis callback. Returning 1 ends the synthesis. */
int on_espeak_samples(short *wav, int count, espeak_EVENT *events) {
    instance *h = engine.speaking;
    if (!h || h->halted) return 1;
    size_t n = wav && count > 0 ? static_cast<size_t>(count) : 0;
    place_marks(h, events, n);
    if (n == 0) return 0;
    bool go = h->resampler ? deliver_resampled(h, wav, n) : deliver_copies(h, wav, n);
    h->espeak_received += n;
    if (!go) h->halted = true;
    return go ? 0 : 1;
}

bool start_espeak() {
    if (engine.initialised) return true;
    // DONT_EXIT: without it a missing data directory ends the process.
    // Phoneme events tell where a word is first heard; they leave the
    // audio as it is.
    int hz = espeak_Initialize(AUDIO_OUTPUT_SYNCHRONOUS, espeak_buffer_ms, nullptr,
                               espeakINITIALIZE_DONT_EXIT | espeakINITIALIZE_PHONEME_EVENTS);
    if (hz <= 0) return false;
    espeak_SetSynthCallback(on_espeak_samples);
    engine.espeak_hz = hz;
    engine.initialised = true;
    return true;
}

/* Makes the resampler match the rate in force: none at eSpeak NG's own
 * rate, otherwise one with dither off so that output is repeatable. */
bool prepare_resampler(instance *h) {
    int hz = rate_hz[h->param[eciSampleRate]];
    if (hz == engine.espeak_hz) {
        soxr_delete(h->resampler);
        h->resampler = nullptr;
        return true;
    }
    if (h->resampler && h->resampler_hz == hz) return true;
    soxr_delete(h->resampler);
    h->resampler = nullptr;
    soxr_io_spec_t io = soxr_io_spec(SOXR_INT16_I, SOXR_INT16_I);
    io.flags |= SOXR_NO_DITHER;
    soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
    // One thread: the module that loads this library runs on one.
    soxr_runtime_spec_t runtime = soxr_runtime_spec(1);
    soxr_error_t err = nullptr;
    h->resampler = soxr_create(engine.espeak_hz, hz, 1, &err, &io, &quality, &runtime);
    if (err || !h->resampler) {
        soxr_delete(h->resampler);
        h->resampler = nullptr;
        return false;
    }
    h->resampler_hz = hz;
    return true;
}

/* Voice selection costs milliseconds, so it is skipped when eSpeak NG
 * already has the voice. */
bool select_voice(const char *name) {
    if (engine.loaded_voice && strcmp(engine.loaded_voice, name) == 0) return true;
    engine.loaded_voice = nullptr;
    if (espeak_SetVoiceByName(name) != EE_OK) return false;
    engine.loaded_voice = name;
    return true;
}

int clamp(int v, int low, int high) { return v < low ? low : (v > high ? high : v); }

/* ECI speed 0 to 250 runs linearly from 80 to 555 words a minute, through
 * eSpeak NG's normal 175 at 50; real-world units are words a minute. */
int espeak_wpm(const instance *h) {
    int speed = h->voice[0].value[eciSpeed];
    if (h->param[eciRealWorldUnits]) return clamp(speed, espeak_min_wpm, real_world_speed.high);
    return espeak_min_wpm + speed * 19 / 10;
}

/* ECI volume 90 is eSpeak NG's normal 100; 0 to 100 maps to 0 to 111. */
int espeak_volume(int volume) { return (volume * 100 + 45) / 90; }

void apply_voice_params(instance *h) {
    const voice_slot &v = h->voice[0];
    int wpm = espeak_wpm(h);
    h->speedup_wpm = wpm >= espeak_speedup_wpm ? wpm : 0;
    espeak_SetParameter(espeakRATE, wpm, 0);
    espeak_SetParameter(espeakPITCH, v.value[eciPitchBaseline], 0);
    espeak_SetParameter(espeakRANGE, v.value[eciPitchFluctuation], 0);
    espeak_SetParameter(espeakVOLUME, espeak_volume(v.value[eciVolume]), 0);
    espeak_SetParameter(espeakPUNCTUATION,
                        (h->param[eciTextMode] & 2) ? espeakPUNCT_ALL : espeakPUNCT_NONE, 0);
}

/* Appends n bytes to a growable block of *len bytes (and a terminator)
 * in *cap; on failure the block is kept as it was. */
bool grow_append(char **data, size_t *len, size_t *cap, const char *bytes, size_t n) {
    if (n > SIZE_MAX - 1 - *len) return false;
    size_t need = *len + n + 1;
    if (need > *cap) {
        size_t grown_cap = *cap ? *cap : 256;
        while (grown_cap < need) grown_cap = grown_cap > SIZE_MAX / 2 ? need : grown_cap * 2;
        char *grown = static_cast<char *>(realloc(*data, grown_cap));
        if (!grown) return false;
        *data = grown;
        *cap = grown_cap;
    }
    memcpy(*data + *len, bytes, n);
    *len += n;
    (*data)[*len] = '\0';
    return true;
}

/* Characters as eSpeak NG counts them in its word events: a UTF-8
 * sequence is one, and so is any byte outside one. */
size_t count_chars(const char *text, size_t len) {
    size_t chars = 0;
    for (size_t i = 0; i < len; chars++) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        size_t tail = c >= 0xF0 && c <= 0xF4 ? 3 : c >= 0xE0 ? 2 : c >= 0xC2 ? 1 : 0;
        if (c >= 0xF5 || tail >= len - i) tail = 0;
        for (size_t k = 1; k <= tail; k++)
            if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) tail = 0;
        i += tail + 1;
    }
    return chars;
}

/*
 * The pending text rewritten for eSpeak NG. With indexes each stretch
 * between two of them is rewritten on its own (eciAddText never splits a
 * word, so the stretches join into what the whole text would give), and
 * each index learns the character of the result it precedes. The pending
 * text is consumed; null when memory ran out.
 */
char *take_text(instance *h, size_t *len) {
    reference::text_options options{};
    if (const dict_set *d = h->active_dict) {
        options.main = &d->volume[eciMainDict];
        options.root = &d->volume[eciRootDict];
        if (h->param[eciDictionary] != 0) options.abbreviation = &d->volume[eciAbbvDict];
    }
    options.spell = (h->param[eciTextMode] & 1) != 0;
    options.digits_apart = h->param[eciNumberMode] == 1;
    size_t text_len = h->text_len;
    h->text_len = 0;
    if (h->marks.count == 0) return reference::text_for_speech(h->text, text_len, options, len);
    /* The code page is judged on the whole text, so that its pieces are
     * read as the text would be without indexes. */
    options.as_windows_1252 = !reference::is_valid_utf8(h->text, text_len);
    char *out = nullptr;
    size_t out_len = 0, out_cap = 0, chars = 0, start = 0;
    for (size_t i = 0; i <= h->marks.count; i++) {
        size_t end = i < h->marks.count ? h->marks.items[i].offset : text_len;
        if (end > start) {
            size_t piece_len = 0;
            char *piece =
                reference::text_for_speech(h->text + start, end - start, options, &piece_len);
            bool ok = piece && grow_append(&out, &out_len, &out_cap, piece, piece_len);
            if (ok) chars += count_chars(piece, piece_len);
            free(piece);
            if (!ok) {
                free(out);
                return nullptr;
            }
            start = end;
        }
        if (i < h->marks.count) h->marks.items[i].char_pos = chars + 1;
    }
    if (!out && !grow_append(&out, &out_len, &out_cap, "", 0)) return nullptr;
    *len = out_len;
    return out;
}

/* The message's indexes leave the pending list: the caller may insert
 * the next message's during this one's synthesis. */
void start_marks(instance *h) {
    free(h->marks.items);
    h->marks = h->pending;
    h->pending = index_list{};
    h->marks_placed = 0;
    h->marks_settled = 0;
    h->marks_replied = 0;
    h->last_word_pos = 0;
    h->sound_word_pos = 0;
    h->espeak_received = 0;
    h->delivered = 0;
}

void end_marks(instance *h) {
    free(h->marks.items);
    h->marks = index_list{};
    h->marks_placed = 0;
    h->marks_settled = 0;
    h->marks_replied = 0;
}

/*
 * Synthesises the pending text into the caller's buffer and callback.
 * Returns 1 when the message was spoken or its delivery was ended by the
 * caller, 0 when it could not be synthesised.
 */
ECIBoolean synthesize(instance *h) {
    if (engine.speaking || !h->buffer) return 0;
    if (h->text_len == 0 && h->pending.count == 0) return 1;
    start_marks(h);
    h->halted = false;
    if (h->text_len == 0) {
        // Indexes alone: their replies are the whole message.
        engine.speaking = h;
        reply_remaining(h);
        engine.speaking = nullptr;
        end_marks(h);
        return 1;
    }
    size_t len = 0;
    char *text = take_text(h, &len);
    if (!text || !prepare_resampler(h) || !select_voice(h->voice[0].espeak_voice)) {
        free(text);
        end_marks(h);
        return 0;
    }
    apply_voice_params(h);
    engine.speaking = h;
    espeak_ERROR err =
        espeak_Synth(text, len + 1, 0, POS_CHARACTER, 0, espeakCHARS_AUTO, nullptr, h);
    bool ok = err == EE_OK;
    if (ok && h->resampler && !h->halted) ok = drain_resampler(h);
    if (ok && !h->halted) reply_remaining(h);
    engine.speaking = nullptr;
    end_marks(h);
    // A resampler that cannot be reset is made afresh for the next message.
    if (h->resampler && soxr_clear(h->resampler)) {
        soxr_delete(h->resampler);
        h->resampler = nullptr;
    }
    free(text);
    return ok ? 1 : 0;
}

bool append_text(instance *h, const char *text) {
    return grow_append(&h->text, &h->text_len, &h->text_cap, text, strlen(text));
}

/* Places an index after the pending text. */
bool append_index(instance *h, int number) {
    index_list &list = h->pending;
    if (list.count == list.cap) {
        size_t cap = list.cap ? list.cap * 2 : 16;
        if (cap > SIZE_MAX / sizeof(index_entry)) return false;
        index_entry *grown =
            static_cast<index_entry *>(realloc(list.items, cap * sizeof(index_entry)));
        if (!grown) return false;
        list.items = grown;
        list.cap = cap;
    }
    list.items[list.count++] = index_entry{number, h->text_len, 0, 0};
    return true;
}

void free_dict_set(dict_set *d) {
    for (dict_volume &v : d->volume) reference::dict_free(&v);
    free(d);
}

/* The presets in their slots, and every other slot (the one that speaks
 * and the user's) a copy of preset 1: a new instance speaks as Wade. */
void init_instance(instance *h) {
    *h = instance{};
    for (int p = 0; p < engine_param_limit; p++) h->param[p] = engine_range[p].initial;
    for (voice_slot &v : h->voice) {
        v.espeak_voice = preset_voice[0];
        for (int p = 0; p < voice_param_limit; p++) v.value[p] = voice_range[p].initial;
    }
    for (int i = 0; i < preset_count; i++)
        h->voice[first_preset_slot + i].espeak_voice = preset_voice[i];
}

bool in_range(const param_range &r, int v) { return v >= r.low && v <= r.high; }

bool slot_exists(int slot) { return slot >= 0 && slot < voice_slot_count; }

/* A slot whose parameters may change: not a preset. */
bool slot_writable(int slot) {
    return slot_exists(slot) &&
           (slot < first_preset_slot || slot >= first_preset_slot + preset_count);
}

}  // namespace

ECIHand eciNew(void) {
    if (!start_espeak()) return nullptr;
    instance *inst = static_cast<instance *>(malloc(sizeof(instance)));
    if (!inst) return nullptr;
    init_instance(inst);
    inst->next = engine.instances;
    engine.instances = inst;
    return inst;
}

ECIHand eciDelete(ECIHand h) {
    instance *inst = find_instance(h);
    if (!inst || inst == engine.speaking) return h;
    for (instance **p = &engine.instances; *p; p = &(*p)->next) {
        if (*p == inst) {
            *p = inst->next;
            break;
        }
    }
    while (dict_set *set = inst->dicts) {
        inst->dicts = set->next;
        free_dict_set(set);
    }
    soxr_delete(inst->resampler);
    free(inst->text);
    free(inst->pending.items);
    free(inst->marks.items);
    free(inst);
    return nullptr;
}

void eciRegisterCallback(ECIHand h, ECICallback callback, void *data) {
    if (instance *inst = find_instance(h)) {
        inst->callback = callback;
        inst->callback_data = data;
    }
}

ECIBoolean eciSetOutputBuffer(ECIHand h, int size, short *buffer) {
    instance *inst = find_instance(h);
    if (!inst || inst == engine.speaking) return 0;
    if (size == 0 && !buffer) {
        inst->buffer = nullptr;
        inst->buffer_samples = 0;
        return 1;
    }
    if (size <= 0 || !buffer) return 0;
    inst->buffer = buffer;
    inst->buffer_samples = static_cast<size_t>(size);
    return 1;
}

int eciSetParam(ECIHand h, ECIParam param, int value) {
    instance *inst = find_instance(h);
    int p = static_cast<int>(param);
    if (!inst || p < 0 || p >= engine_param_limit || !in_range(engine_range[p], value)) return -1;
    // The resampler is in use while this instance speaks.
    if (p == eciSampleRate && inst == engine.speaking) return -1;
    int previous = inst->param[p];
    inst->param[p] = value;
    return previous;
}

int eciGetParam(ECIHand h, ECIParam param) {
    instance *inst = find_instance(h);
    int p = static_cast<int>(param);
    if (!inst || p < 0 || p >= engine_param_limit || engine_range[p].high < 0) return -1;
    return inst->param[p];
}

int eciSetVoiceParam(ECIHand h, int voice, ECIVoiceParam param, int value) {
    instance *inst = find_instance(h);
    int p = static_cast<int>(param);
    if (!inst || !slot_writable(voice) || p < 1 || p >= voice_param_limit) return -1;
    const param_range &r =
        (p == eciSpeed && inst->param[eciRealWorldUnits]) ? real_world_speed : voice_range[p];
    if (!in_range(r, value)) return -1;
    int previous = inst->voice[voice].value[p];
    inst->voice[voice].value[p] = value;
    return previous;
}

ECIBoolean eciCopyVoice(ECIHand h, int from, int to) {
    instance *inst = find_instance(h);
    if (!inst || !slot_exists(from) || !slot_writable(to)) return 0;
    inst->voice[to] = inst->voice[from];
    return 1;
}

ECIDictHand eciNewDict(ECIHand h) {
    instance *inst = find_instance(h);
    if (!inst) return nullptr;
    dict_set *set = static_cast<dict_set *>(malloc(sizeof(dict_set)));
    if (!set) return nullptr;
    *set = dict_set{};
    set->next = inst->dicts;
    inst->dicts = set;
    return set;
}

ECIDictError eciLoadDict(ECIHand h, ECIDictHand d, ECIDictVolume volume, const char *path) {
    instance *inst = find_instance(h);
    dict_set *set = inst ? find_dict(inst, d) : nullptr;
    int v = static_cast<int>(volume);
    if (!set || v < 0 || v >= dict_volume_count)
        return static_cast<ECIDictError>(dict_invalid_argument);
    constexpr volume_kind kind[dict_volume_count] = {volume_kind::main, volume_kind::root,
                                                     volume_kind::abbreviation};
    return static_cast<ECIDictError>(reference::dict_load(&set->volume[v], kind[v], path, nullptr));
}

ECIDictError eciSetDict(ECIHand h, ECIDictHand d) {
    instance *inst = find_instance(h);
    if (!inst) return static_cast<ECIDictError>(dict_invalid_argument);
    if (!d) {
        inst->active_dict = nullptr;
        return DictNoError;
    }
    dict_set *set = find_dict(inst, d);
    if (!set) return static_cast<ECIDictError>(dict_invalid_argument);
    inst->active_dict = set;
    return DictNoError;
}

ECIDictHand eciDeleteDict(ECIHand h, ECIDictHand d) {
    instance *inst = find_instance(h);
    if (!inst || !find_dict(inst, d)) return d;
    for (dict_set **p = &inst->dicts; *p; p = &(*p)->next) {
        if (*p == d) {
            *p = (*p)->next;
            break;
        }
    }
    if (inst->active_dict == d) inst->active_dict = nullptr;
    free_dict_set(static_cast<dict_set *>(d));
    return nullptr;
}

ECIBoolean eciAddText(ECIHand h, const char *text) {
    instance *inst = find_instance(h);
    if (!inst || !text) return 0;
    return append_text(inst, text) ? 1 : 0;
}

ECIBoolean eciInsertIndex(ECIHand h, int index) {
    instance *inst = find_instance(h);
    if (!inst || index == 0) return 0;
    return append_index(inst, index) ? 1 : 0;
}

ECIBoolean eciSynthesize(ECIHand h) {
    instance *inst = find_instance(h);
    return inst ? synthesize(inst) : 0;
}

ECIBoolean eciSynchronize(ECIHand h) {
    // Synthesis ends inside eciSynthesize, so there is nothing left to
    // wait for, except from inside a callback, where waiting cannot work.
    instance *inst = find_instance(h);
    return (inst && inst != engine.speaking) ? 1 : 0;
}

ECIBoolean eciStop(ECIHand h) {
    instance *inst = find_instance(h);
    if (!inst) return 0;
    inst->text_len = 0;
    inst->pending.count = 0;
    if (inst == engine.speaking) inst->halted = true;
    return 1;
}
