/* The sound engine's operations as a game calls them on the target, here on the desktop engine: the same
 * calls, the same bytes. A game written against them plays on the desktop exactly what it plays on the
 * target (docs/target.md is the guide). Compiles as C (C99 on) and as C++.
 *
 * On the target the ROM image lies at 0x8000 and the game's start-up fills the sample and song tables from
 * it; timer0_isr is the timer's interrupt handler and hands its byte to the sound output. On the desktop,
 * loadRomImage does the start-up's part and timer0_isr hands its byte to setAudioOutput's function
 * (standard output unless told otherwise). */
#ifndef NIBPLAY_TARGET_H
#define NIBPLAY_TARGET_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ---- The engine's operations ---- */

/* The engine's initialiser: nothing to do, every state starts at zero. */
void soundInit(void);

/* One call of the song clock; call it once after every 13 timer0_isr steps. While no song is selected it
 * sets the default speeds: call it once before the first playSong. */
void songTick(void);

/* Selects song n (0-3) from its first line; the song's first line plays on the next songTick. */
void playSong(uint8_t n);

/* Deselects the song. Streams that are playing go on (a looping sample for ever): start a silent effect
 * or let them end. */
void stopSong(void);

/* Starts sample entry n (0-14) on stream s (0-3) at a tone (0-60), from the sample's start: a sound
 * effect. A note of the song on that stream later cuts it. */
void playSample(uint8_t n, uint8_t s, uint8_t tone);

/* Sets stream s's pitch from a tone; the sample goes on from where it is. */
void setSampleTone(uint8_t s, uint8_t tone);

/* Stream s's running flag: 0 stopped, anything else running. Setting it to 0 silences the stream (after
 * stopSong, a looping sample would otherwise ring for ever); streams other than 0-3 read 0. */
uint8_t getStreamRunning(uint8_t s);
void setStreamRunning(uint8_t s, uint8_t v);

/* One output step: writes the mix of the previous step (0-240, silence 128) and mixes the next. On the
 * target the timer's interrupt calls it at the rate the bank was made for. */
void timer0_isr(void);

/* ---- The desktop's stand-ins for the target ---- */

/* Places a ROM image file at 0x8000 (its first 32,768 bytes) and fills the sample and song tables from
 * the image, as a game's start-up does on the target; the engine starts afresh. Returns 0, or -1 when the
 * file cannot be read (errno says why). */
int loadRomImage(const char* path);

/* Where timer0_isr's bytes go: `write(byte, context)` for each; a null `write` sends them to standard
 * output again. */
void setAudioOutput(void (*write)(uint8_t byte, void* context), void* context);

#ifdef __cplusplus
}
#endif

#endif
