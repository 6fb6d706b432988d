/* The desktop engine's side of the target's operations: what target.c's functions call. Separate names,
 * so that the C operations (target.c) and the C++ engine's of the same names never meet in one unit. */
#ifndef NIBPLAY_TARGET_BRIDGE_H
#define NIBPLAY_TARGET_BRIDGE_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

void nibBridgeSongTick(void);
void nibBridgePlaySong(uint8_t n);
void nibBridgeStopSong(void);
void nibBridgePlaySample(uint8_t n, uint8_t s, uint8_t tone);
void nibBridgeSetSampleTone(uint8_t s, uint8_t tone);
void nibBridgeStep(void);
uint8_t nibBridgeGetRunning(uint8_t s);
void nibBridgeSetRunning(uint8_t s, uint8_t v);
int nibBridgeLoad(const char* path);
void nibBridgeOutput(void (*write)(uint8_t byte, void* context), void* context);

#ifdef __cplusplus
}
#endif

#endif
