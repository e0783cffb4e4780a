// SPDX-License-Identifier: GPL-3.0-or-later
/*
 * The reference engine: libibmeci50.so on eSpeak NG, with libsoxr for the
 * 8000 and 11025 Hz output rates. It exports the eighteen engine calls
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
 * Dialects are rows of one table: each names its eSpeak NG voice and the
 * code page its text arrives in. A dialect is installed when its voice
 * and dictionary load, which is tried once per process for each row, the
 * first time the row is asked about. The pending text is a run of
 * segments, each with the dialect in force when it was added; a message
 * is one espeak_Synth per segment, in its dialect's voice with the
 * variant of the speaking slot, one continuous stream of samples to the
 * caller.
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
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#pragma GCC visibility push(default)
#include "eci_corvane.h"
#pragma GCC visibility pop

#include "reference_text.h"

namespace {

using reference::code_page;
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

/* The eight preset voices, from slot 1 on, in the engine's order: the
 * eSpeak NG variant that fits the name, added to the voice of the
 * dialect being spoken (null: the dialect's voice as it is). */
constexpr const char *preset_variant[preset_count] = {
    nullptr,   /* Wade: the plain male voice */
    "f3",      /* Flo: adult female */
    "Annie",   /* Bobbie: child, high and bright */
    "m3",      /* Male2: lower, measured male */
    "m7",      /* Male3: brighter, strongly voiced male */
    "f4",      /* Female2: second adult female */
    "grandma", /* Grandma: older female, unsteady pitch */
    "grandpa", /* Grandpa: older male, unsteady pitch */
};

/* A dialect the engine can speak: one row per ECILanguageDialect value,
 * in ascending order of value. */
struct dialect_row {
    int value;                /* the ECILanguageDialect */
    const char *tag;          /* the language tag it stands for */
    const char *espeak_voice; /* eSpeak NG voice file name (not its language tag) */
    const char *dictionary;   /* the voice's dictionary, <data>/<name>_dict */
    code_page page;           /* how its text is read when it is not UTF-8 */
};

/*
 * eSpeak NG 1.51 has no Canadian French, so fr-CA speaks as fr-FR; its
 * "cmn" voice reads pinyin tone digits as English numbers, so Chinese
 * uses "cmn-latn-pinyin". The engine takes Chinese and Japanese text in
 * the systems' double-byte ANSI pages (CP936, CP950, CP932); Korean in
 * CP949 is inferred by the same rule, as the engine's documentation
 * names no page for it.
 */
constexpr dialect_row dialects[] = {
    {eciGeneralAmericanEnglish, "en-US", "en-us", "en", code_page::windows_1252},
    {eciBritishEnglish, "en-GB", "en", "en", code_page::windows_1252},
    {eciCastilianSpanish, "es-ES", "es", "es", code_page::windows_1252},
    {eciMexicanSpanish, "es-MX", "es-419", "es", code_page::windows_1252},
    {eciStandardFrench, "fr-FR", "fr", "fr", code_page::windows_1252},
    {eciCanadianFrench, "fr-CA", "fr", "fr", code_page::windows_1252},
    {eciStandardGerman, "de-DE", "de", "de", code_page::windows_1252},
    {eciStandardItalian, "it-IT", "it", "it", code_page::windows_1252},
    {eciMandarinChinese, "zh-CN", "cmn-latn-pinyin", "cmn", code_page::gbk},
    {eciTaiwaneseMandarin, "zh-TW", "cmn-latn-pinyin", "cmn", code_page::big5},
    {eciBrazilianPortuguese, "pt-BR", "pt-br", "pt", code_page::windows_1252},
    {eciStandardJapanese, "ja-JP", "ja", "ja", code_page::shift_jis},
    {eciStandardFinnish, "fi-FI", "fi", "fi", code_page::windows_1252},
    {eciStandardKorean, "ko-KR", "ko", "ko", code_page::cp949},
    {eciStandardNorwegian, "nb-NO", "nb", "no", code_page::windows_1252},
    {eciStandardSwedish, "sv-SE", "sv", "sv", code_page::windows_1252},
    {eciStandardDanish, "da-DK", "da", "da", code_page::windows_1252},
};
constexpr size_t dialect_count = sizeof dialects / sizeof dialects[0];

constexpr bool dialects_ascend() {
    for (size_t i = 1; i < dialect_count; i++)
        if (dialects[i - 1].value >= dialects[i].value) return false;
    return true;
}
/* eciGetAvailableLanguages lists the rows in order, and a new instance
 * takes the first installed one as the lowest-numbered. */
static_assert(dialects_ascend(), "the dialect table must ascend by value");

/* Longest eSpeak NG voice name with its variant, terminator included:
 * "cmn-latn-pinyin+grandpa" and room to spare. */
constexpr size_t voice_name_bytes = 40;

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
    {0, -1, 0},                        /* eciLanguageDialect: by the dialect table instead */
    {0, 1, 0},                         /* eciNumberMode: 1 reads digits one by one */
    {0, 1, 0},                         /* eciPhrasePrediction: stored only */
};
constexpr int rate_hz[3] = {8000, 11025, 22050};

struct voice_slot {
    int preset;                   /* whose variant it speaks with, 0 to 7 */
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
    size_t segment;  /* the message segment it lies in, once synthesis starts */
    size_t char_pos; /* 1-based character of its segment's text it precedes */
    uint64_t target; /* output samples of the message before its reply */
};

/* A growable array of indexes, in the order they were inserted. */
struct index_list {
    index_entry *items;
    size_t count;
    size_t cap;
};

/* A run of pending text added under one dialect. */
struct text_segment {
    size_t offset; /* bytes of pending text before it */
    size_t row;    /* its entry of dialects */
};

/* The pending text's segments, in order; the first starts at offset 0
 * and none is empty. */
struct segment_list {
    text_segment *items;
    size_t count;
    size_t cap;
};

/* A segment of the message being synthesised, rewritten for eSpeak NG. */
struct spoken_segment {
    size_t start; /* its first byte in the message's text */
    size_t len;   /* its bytes, terminator excluded */
    size_t row;   /* its entry of dialects */
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
    segment_list segments;              /* the dialects of text, by stretch */
    size_t dialect_row;                 /* the dialect in force, an entry of dialects */
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
    size_t segment;                     /* the message segment eSpeak NG is speaking */
    size_t last_word_pos;               /* character of the latest word event in it */
    size_t sound_word_pos;              /* word event position the unsettled marks belong to */
    int speedup_wpm;                    /* the rate eSpeak NG speeds its chunks up to, or 0 */
    uint64_t espeak_received;           /* samples of the message eSpeak NG has handed over */
    uint64_t segment_received;          /* of those, the samples of the current segment */
    uint64_t delivered;                 /* output samples of the message delivered */
};

/* What is known of a dialect's voice in this process. */
enum class install_state : unsigned char {
    unknown, /* not tried yet */
    present, /* its voice and dictionary loaded */
    absent   /* they did not: the dialect is not installed */
};

struct engine_state {
    bool initialised;                       /* espeak_Initialize has succeeded */
    int espeak_hz;                          /* eSpeak NG's own output rate */
    instance *instances;                    /* every live instance */
    instance *speaking;                     /* the instance inside espeak_Synth, or null */
    char loaded_voice[voice_name_bytes];    /* the voice eSpeak NG has selected, or "" */
    install_state installed[dialect_count]; /* by entry of dialects */
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
 * handed over lies. eSpeak NG counts an event's sample from the start of
 * its segment. Its offset into the chunk is scaled back when eSpeak NG
 * sped the chunk up, and never runs past the chunk's end, so that no
 * event points beyond the audio it came with. */
uint64_t event_place(const instance *h, const espeak_EVENT *ev, size_t count) {
    uint64_t start = h->espeak_received;
    uint64_t sample = static_cast<uint64_t>(ev->sample);
    uint64_t offset = sample > h->segment_received ? sample - h->segment_received : 0;
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
    while (h->marks_placed < h->marks.count &&
           h->marks.items[h->marks_placed].segment == h->segment &&
           h->marks.items[h->marks_placed].char_pos <= pos) {
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
    h->segment_received += n;
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

/* Voice selection costs a tenth of a millisecond between the Western
 * voices and about 6 ms into Chinese, whose large dictionary eSpeak NG
 * reads again at every switch, so it is skipped when eSpeak NG already
 * has the voice. A failed selection may leave eSpeak NG with any voice,
 * so the next one is selected afresh. */
bool select_voice(const char *name) {
    if (strcmp(engine.loaded_voice, name) == 0) return true;
    engine.loaded_voice[0] = '\0';
    if (strlen(name) >= voice_name_bytes || espeak_SetVoiceByName(name) != EE_OK) return false;
    strcpy(engine.loaded_voice, name);
    return true;
}

/* eSpeak NG's name for a dialect's voice with a preset's variant, as
 * "voice+variant", into out (voice_name_bytes). False if it would not fit. */
bool voice_name(size_t row, int preset, char *out) {
    const char *variant = preset_variant[preset];
    int n = variant ? snprintf(out, voice_name_bytes, "%s+%s", dialects[row].espeak_voice, variant)
                    : snprintf(out, voice_name_bytes, "%s", dialects[row].espeak_voice);
    return n > 0 && static_cast<size_t>(n) < voice_name_bytes;
}

/* Whether eSpeak NG's data holds the dictionary a dialect's voice reads by. */
bool has_dictionary(size_t row) {
    const char *data = nullptr;
    espeak_Info(&data);
    if (!data) return false;
    char path[4096];
    int n = snprintf(path, sizeof path, "%s/%s_dict", data, dialects[row].dictionary);
    return n > 0 && static_cast<size_t>(n) < sizeof path && access(path, R_OK) == 0;
}

/*
 * Whether a dialect is installed: its dictionary is there and its voice
 * loads. eSpeak NG selects a voice whose dictionary is missing and then
 * reads its text by no rules at all, so the file is looked for first.
 * Tried once per row and process, and the answer kept. Returns unknown
 * only from inside a synthesis, where eSpeak NG must not be called, for
 * a row not yet tried; absent, uncached, when eSpeak NG cannot start.
 */
install_state probe_dialect(size_t row) {
    install_state &known = engine.installed[row];
    if (known != install_state::unknown || engine.speaking) return known;
    if (!start_espeak()) return install_state::absent;
    known = install_state::absent;
    if (has_dictionary(row) && select_voice(dialects[row].espeak_voice))
        known = install_state::present;
    return known;
}

/* The dialect a new instance speaks: the lowest-numbered installed one.
 * False when none is. */
bool first_installed(size_t *row) {
    for (size_t r = 0; r < dialect_count; r++) {
        if (probe_dialect(r) == install_state::present) {
            *row = r;
            return true;
        }
    }
    return false;
}

/* Makes the dialect with this value the one text is added under from now
 * on. Returns the previous value, or -1 (keeping it) for a value that is
 * no row of the table or a dialect that is not installed. */
int set_dialect(instance *h, int value) {
    for (size_t row = 0; row < dialect_count; row++) {
        if (dialects[row].value != value) continue;
        if (probe_dialect(row) != install_state::present) return -1;
        int previous = dialects[h->dialect_row].value;
        h->dialect_row = row;
        return previous;
    }
    return -1;
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

/* The message being synthesised: its segments rewritten for eSpeak NG,
 * one after another in one block, each followed by its terminator. */
struct message {
    char *text;            /* the segments' text */
    size_t text_len;       /* bytes in text, the last terminator excluded */
    size_t text_cap;       /* bytes allocated for text */
    spoken_segment *parts; /* one per segment of the pending text */
    size_t count;          /* entries of parts */
};

void free_message(message *m) {
    free(m->text);
    free(m->parts);
    *m = message{};
}

/*
 * Rewrites segment k of the pending text, from its offset up to byte
 * `end`, into the message, with its terminator after it. Its code page is judged on
 * the whole segment, so that its pieces are read as it would be without
 * indexes; each stretch between two indexes is rewritten on its own
 * (eciAddText never splits a word, so the stretches join into what the
 * whole segment would give), and each index in the segment, from
 * *next_mark on, learns the segment and the character it precedes. An
 * index at the end of the pending text belongs to the last segment.
 * False when memory ran out or the code page cannot be read.
 */
bool take_segment(instance *h, reference::text_options options, size_t k, size_t end, message *m,
                  size_t *next_mark) {
    const text_segment &seg = h->segments.items[k];
    size_t start = seg.offset;
    bool last = k + 1 == h->segments.count;
    options.page = dialects[seg.row].page;
    options.as_code_page = !reference::is_valid_utf8(h->text + start, end - start);
    size_t first_byte = m->text_len, chars = 0;
    for (size_t from = start;;) {
        size_t i = *next_mark;
        bool mark_here = i < h->marks.count && (h->marks.items[i].offset < end ||
                                                (last && h->marks.items[i].offset == end));
        size_t to = mark_here ? h->marks.items[i].offset : end;
        if (to > from) {
            size_t piece_len = 0;
            char *piece =
                reference::text_for_speech(h->text + from, to - from, options, &piece_len);
            bool ok = piece && grow_append(&m->text, &m->text_len, &m->text_cap, piece, piece_len);
            if (ok) chars += count_chars(piece, piece_len);
            free(piece);
            if (!ok) return false;
            from = to;
        }
        if (!mark_here) break;
        h->marks.items[i].segment = k;
        h->marks.items[i].char_pos = chars + 1;
        (*next_mark)++;
    }
    m->parts[k] = spoken_segment{first_byte, m->text_len - first_byte, seg.row};
    // The terminator espeak_Synth reads the segment up to.
    return grow_append(&m->text, &m->text_len, &m->text_cap, "", 1);
}

/*
 * The pending text, segment by segment, rewritten for eSpeak NG into *m
 * (which the caller frees). The pending text is consumed. False when
 * memory ran out or a code page cannot be read.
 */
bool take_text(instance *h, message *m) {
    reference::text_options options{};
    if (const dict_set *d = h->active_dict) {
        options.main = &d->volume[eciMainDict];
        options.root = &d->volume[eciRootDict];
        if (h->param[eciDictionary] != 0) options.abbreviation = &d->volume[eciAbbvDict];
    }
    options.spell = (h->param[eciTextMode] & 1) != 0;
    options.digits_apart = h->param[eciNumberMode] == 1;
    size_t count = h->segments.count;
    bool ok = count > 0 && count <= SIZE_MAX / sizeof(spoken_segment);
    if (ok) m->parts = static_cast<spoken_segment *>(malloc(count * sizeof(spoken_segment)));
    ok = ok && m->parts;
    if (ok) m->count = count;
    size_t next_mark = 0;
    for (size_t k = 0; ok && k < count; k++) {
        size_t end = k + 1 < count ? h->segments.items[k + 1].offset : h->text_len;
        ok = take_segment(h, options, k, end, m, &next_mark);
    }
    h->text_len = 0;
    h->segments.count = 0;
    return ok;
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
    h->segment = 0;
    h->last_word_pos = 0;
    h->sound_word_pos = 0;
    h->espeak_received = 0;
    h->segment_received = 0;
    h->delivered = 0;
}

/* eSpeak NG starts segment k: its word positions and event samples count
 * from the segment's start. Indexes still waiting from the segments
 * before, after their last word, are placed at this one's first word. */
void begin_segment(instance *h, size_t k) {
    h->segment = k;
    h->segment_received = 0;
    h->last_word_pos = 0;
    h->sound_word_pos = 0;
    for (size_t i = h->marks_placed; i < h->marks.count; i++) {
        index_entry &mark = h->marks.items[i];
        if (mark.segment >= k) break;
        mark.segment = k;
        mark.char_pos = 0;
    }
}

/* Speaks segment k of the message, in its dialect's voice with the
 * variant of slot 0. The indexes placed in it and still waiting for
 * their word's first sound keep the place they have at its end. */
bool speak_segment(instance *h, const message &m, size_t k) {
    const spoken_segment &part = m.parts[k];
    char name[voice_name_bytes];
    if (!voice_name(part.row, h->voice[0].preset, name) || !select_voice(name)) return false;
    apply_voice_params(h);
    begin_segment(h, k);
    espeak_ERROR err = espeak_Synth(m.text + part.start, part.len + 1, 0, POS_CHARACTER, 0,
                                    espeakCHARS_AUTO, nullptr, h);
    settle_marks(h);
    return err == EE_OK;
}

void end_marks(instance *h) {
    free(h->marks.items);
    h->marks = index_list{};
    h->marks_placed = 0;
    h->marks_settled = 0;
    h->marks_replied = 0;
}

/*
 * Synthesises the pending text into the caller's buffer and callback,
 * segment by segment as one stream. Returns 1 when the message was
 * spoken or its delivery was ended by the caller, 0 when it could not be
 * synthesised (before any callback, except when a later segment's voice
 * cannot be selected).
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
    message m{};
    bool ok = take_text(h, &m) && prepare_resampler(h);
    engine.speaking = h;
    for (size_t k = 0; ok && k < m.count && !h->halted; k++) ok = speak_segment(h, m, k);
    if (ok && h->resampler && !h->halted) ok = drain_resampler(h);
    if (ok && !h->halted) reply_remaining(h);
    engine.speaking = nullptr;
    end_marks(h);
    // A resampler that cannot be reset is made afresh for the next message.
    if (h->resampler && soxr_clear(h->resampler)) {
        soxr_delete(h->resampler);
        h->resampler = nullptr;
    }
    free_message(&m);
    return ok ? 1 : 0;
}

/* Makes room for one more item in a growable array; on failure the
 * array is kept as it was. */
template <typename T>
bool reserve_one(T **items, size_t *cap, size_t count) {
    if (count < *cap) return true;
    size_t grown_cap = *cap ? *cap * 2 : 16;
    if (grown_cap < *cap || grown_cap > SIZE_MAX / sizeof(T)) return false;
    T *grown = static_cast<T *>(realloc(*items, grown_cap * sizeof(T)));
    if (!grown) return false;
    *items = grown;
    *cap = grown_cap;
    return true;
}

/* Appends text under the dialect in force: a new segment begins where
 * the dialect differs from the last segment's. On failure the pending
 * text and its segments are kept as they were. */
bool append_text(instance *h, const char *text) {
    size_t n = strlen(text);
    if (n == 0) return true;
    segment_list &list = h->segments;
    bool starts_segment = list.count == 0 || list.items[list.count - 1].row != h->dialect_row;
    if (starts_segment && !reserve_one(&list.items, &list.cap, list.count)) return false;
    size_t offset = h->text_len;
    if (!grow_append(&h->text, &h->text_len, &h->text_cap, text, n)) return false;
    if (starts_segment) list.items[list.count++] = text_segment{offset, h->dialect_row};
    return true;
}

/* Places an index after the pending text. */
bool append_index(instance *h, int number) {
    index_list &list = h->pending;
    if (!reserve_one(&list.items, &list.cap, list.count)) return false;
    list.items[list.count++] = index_entry{number, h->text_len, 0, 0, 0};
    return true;
}

void free_dict_set(dict_set *d) {
    for (dict_volume &v : d->volume) reference::dict_free(&v);
    free(d);
}

/* The presets in their slots, and every other slot (the one that speaks
 * and the user's) a copy of preset 1: a new instance speaks as Wade, in
 * the dialect of the given row. */
void init_instance(instance *h, size_t dialect_row) {
    *h = instance{};
    for (int p = 0; p < engine_param_limit; p++) h->param[p] = engine_range[p].initial;
    for (voice_slot &v : h->voice) {
        v.preset = 0;
        for (int p = 0; p < voice_param_limit; p++) v.value[p] = voice_range[p].initial;
    }
    for (int i = 0; i < preset_count; i++) h->voice[first_preset_slot + i].preset = i;
    h->dialect_row = dialect_row;
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
    size_t row = 0;
    if (!start_espeak() || !first_installed(&row)) return nullptr;
    instance *inst = static_cast<instance *>(malloc(sizeof(instance)));
    if (!inst) return nullptr;
    init_instance(inst, row);
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
    free(inst->segments.items);
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
    if (inst && p == eciLanguageDialect) return set_dialect(inst, value);
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
    if (inst && p == eciLanguageDialect) return dialects[inst->dialect_row].value;
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
    inst->segments.count = 0;
    inst->pending.count = 0;
    if (inst == engine.speaking) inst->halted = true;
    return 1;
}

int eciGetAvailableLanguages(ECILanguageDialect *languages, int *count) {
    if (!count || *count < 0 || (!languages && *count > 0)) return ECI_PARAMETERERROR;
    size_t capacity = static_cast<size_t>(*count), found = 0;
    for (size_t row = 0; row < dialect_count && (capacity == 0 || found < capacity); row++) {
        install_state state = probe_dialect(row);
        // Asked from inside a callback before every row was tried.
        if (state == install_state::unknown) return ECI_PARAMETERERROR;
        if (state != install_state::present) continue;
        if (capacity > 0) languages[found] = static_cast<ECILanguageDialect>(dialects[row].value);
        found++;
    }
    *count = static_cast<int>(found);
    return 0;
}
