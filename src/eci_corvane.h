// SPDX-License-Identifier: BSD-2-Clause
/*
 * The calls of the ECI engine library (libibmeci50.so) that quorlin uses,
 * with the types and constants they take. The module, the fake engine
 * and the reference engine all build against this one header, so a
 * stand-in engine is a drop-in for the closed library. Plain C; every
 * call is made on the module's one thread.
 */
#ifndef ECI_CORVANE_H
#define ECI_CORVANE_H

#ifdef __cplusplus
extern "C" {
#endif

typedef void *ECIHand;     /* an engine instance; null is failure */
typedef void *ECIDictHand; /* a dictionary set; null is failure */
typedef int ECIBoolean;    /* non-zero is success */

/* Engine parameters (eciSetParam, eciGetParam). */
typedef enum {
    eciTextMode = 2,
    eciDictionary = 3,
    eciSampleRate = 5, /* 0: 8000 Hz, 1: 11025 Hz, 2: 22050 Hz */
    eciRealWorldUnits = 8,
    eciLanguageDialect = 9, /* an ECILanguageDialect; -1 when set to one not installed */
    eciNumberMode = 10,
    eciPhrasePrediction = 11
} ECIParam;

/* Dialects (eciLanguageDialect): the language in bits 16 to 31, the
 * dialect in bits 0 to 7. Bits 8 to 15 select a phonetic or UCS input
 * form, which is not for running text. The last three follow the
 * numbering of the engine's language annotations. */
typedef enum {
    eciGeneralAmericanEnglish = 0x00010000,
    eciBritishEnglish = 0x00010001,
    eciCastilianSpanish = 0x00020000,
    eciMexicanSpanish = 0x00020001,
    eciStandardFrench = 0x00030000,
    eciCanadianFrench = 0x00030001,
    eciStandardGerman = 0x00040000,
    eciStandardItalian = 0x00050000,
    eciMandarinChinese = 0x00060000,
    eciTaiwaneseMandarin = 0x00060001,
    eciBrazilianPortuguese = 0x00070000,
    eciStandardJapanese = 0x00080000,
    eciStandardFinnish = 0x00090000,
    eciStandardKorean = 0x000A0000,
    eciStandardNorwegian = 0x000D0000,
    eciStandardSwedish = 0x000E0000,
    eciStandardDanish = 0x000F0000
} ECILanguageDialect;

/* The error eciGetAvailableLanguages returns for a null argument. */
#define ECI_PARAMETERERROR 0x80

/* Parameters of a voice slot (eciSetVoiceParam). */
typedef enum {
    eciHeadSize = 1,
    eciPitchBaseline = 2,
    eciPitchFluctuation = 3,
    eciRoughness = 4,
    eciBreathiness = 5,
    eciSpeed = 6,
    eciVolume = 7
} ECIVoiceParam;

/* Dictionary volumes (eciLoadDict). */
typedef enum {
    eciMainDict = 0,
    eciRootDict = 1,
    eciAbbvDict = 2
} ECIDictVolume;

/* Dictionary results: only zero or not matters; the number is logged. */
typedef enum {
    DictNoError = 0,
    DictAccessError = 6
} ECIDictError;

/* Callback messages: eciWaveformBuffer carries the number of new samples
 * in the output buffer; eciIndexReply the number given to eciInsertIndex,
 * once the text before that index has been synthesised and its samples
 * delivered. The engine sends other messages as well, and the callback
 * receives each of them as this type: the last enumerator widens the
 * type to every non-negative int, so that in C++ any number the engine
 * sends is a valid value of it rather than undefined behaviour. */
typedef enum {
    eciWaveformBuffer = 0,
    eciIndexReply = 2,
    eciMessageLimit = 0x7fffffff
} ECIMessage;

typedef enum {
    eciDataNotProcessed = 0,
    eciDataProcessed = 1
} ECICallbackReturn;

/* Called during synthesis with eciWaveformBuffer and the number of new
 * samples in the output buffer, or with eciIndexReply and an index
 * number. The callback may call no engine function. A callback that
 * answers eciDataNotProcessed is given the same data again later, and
 * the engine ends the synthesis if it keeps refusing. */
typedef ECICallbackReturn (*ECICallback)(ECIHand hEngine, ECIMessage msg, long lParam, void *pData);

ECIHand eciNew(void);
ECIHand eciDelete(ECIHand hEngine);
void eciRegisterCallback(ECIHand hEngine, ECICallback callback, void *pData);
ECIBoolean eciSetOutputBuffer(ECIHand hEngine, int iSize, short *psBuffer);
int eciSetParam(ECIHand hEngine, ECIParam param, int iValue);
int eciGetParam(ECIHand hEngine, ECIParam param);
int eciSetVoiceParam(ECIHand hEngine, int iVoice, ECIVoiceParam param, int iValue);
ECIBoolean eciCopyVoice(ECIHand hEngine, int iVoiceFrom, int iVoiceTo);
ECIDictHand eciNewDict(ECIHand hEngine);
ECIDictError eciLoadDict(ECIHand hEngine, ECIDictHand hDict, ECIDictVolume volume,
                         const char *pFilename);
ECIDictError eciSetDict(ECIHand hEngine, ECIDictHand hDict);
ECIDictHand eciDeleteDict(ECIHand hEngine, ECIDictHand hDict);
/* Text in the system's 8-bit code page (Windows-1252 for the Western
 * languages). Successive calls may split a sentence, never a word. A
 * backquote can begin an annotation that changes the voice or language. */
ECIBoolean eciAddText(ECIHand hEngine, const char *pText);
/* Places index `iIndex`, which must not be 0, after the text added so
 * far: the callback gets eciIndexReply with it once that text has been
 * spoken. */
ECIBoolean eciInsertIndex(ECIHand hEngine, int iIndex);
ECIBoolean eciSynthesize(ECIHand hEngine);
ECIBoolean eciSynchronize(ECIHand hEngine);
ECIBoolean eciStop(ECIHand hEngine);
/* Fills `languages` with the installed dialects, lowest first: `*count`
 * is the array's capacity on input (0 asks for the number only) and, on
 * output, the number filled in (the number installed when the capacity
 * was 0). 0, or ECI_PARAMETERERROR. Needs no instance and selects no
 * language for one. Not every build of the library exports it: the
 * module looks it up at run time. */
int eciGetAvailableLanguages(ECILanguageDialect *languages, int *count);

#ifdef __cplusplus
}
#endif

#endif
