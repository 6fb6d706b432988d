/* The target's operations, each handed to the desktop engine (bridge.cpp). */
#include "nibplay/target.h"

#include "bridge.h"

#define EXPORTED __attribute__((visibility("default")))

EXPORTED void soundInit(void) {}

EXPORTED void songTick(void) {
    nibBridgeSongTick();
}

EXPORTED void playSong(uint8_t n) {
    nibBridgePlaySong(n);
}

EXPORTED void stopSong(void) {
    nibBridgeStopSong();
}

EXPORTED void playSample(uint8_t n, uint8_t s, uint8_t tone) {
    nibBridgePlaySample(n, s, tone);
}

EXPORTED void setSampleTone(uint8_t s, uint8_t tone) {
    nibBridgeSetSampleTone(s, tone);
}

EXPORTED uint8_t getStreamRunning(uint8_t s) {
    return nibBridgeGetRunning(s);
}

EXPORTED void setStreamRunning(uint8_t s, uint8_t v) {
    nibBridgeSetRunning(s, v);
}

EXPORTED void timer0_isr(void) {
    nibBridgeStep();
}

EXPORTED int loadRomImage(const char* path) {
    return nibBridgeLoad(path);
}

EXPORTED void setAudioOutput(void (*write)(uint8_t byte, void* context), void* context) {
    nibBridgeOutput(write, context);
}
