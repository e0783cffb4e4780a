// SPDX-License-Identifier: BSD-2-Clause
// An engine library that lacks two of the calls the module makes,
// eciInsertIndex and eciStop, for the module to refuse at INIT. Only
// the names matter: none of these is ever called.
void eciNew(void) {}
void eciDelete(void) {}
void eciRegisterCallback(void) {}
void eciSetOutputBuffer(void) {}
void eciSetParam(void) {}
void eciGetParam(void) {}
void eciSetVoiceParam(void) {}
void eciCopyVoice(void) {}
void eciNewDict(void) {}
void eciLoadDict(void) {}
void eciSetDict(void) {}
void eciDeleteDict(void) {}
void eciAddText(void) {}
void eciSynthesize(void) {}
void eciSynchronize(void) {}
