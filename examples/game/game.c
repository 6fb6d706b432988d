/* A game's sound loop: the theme plays, and 1.5 s in the player jumps. On the target the timer's
 * interrupt calls timer0_isr GAME_SOUNDS_RATE_HZ times a second; here the loop calls it, and the bytes go
 * to standard output: the same bytes as
 *   nibtool render game.rom - --song 0 --sfx jump@1.5 --seconds 10 */
#include <stdio.h>

#include <nibplay/target.h>

#include "game_sounds.h"

int main(int argc, char** argv) {
    const char* rom = argc > 1 ? argv[1] : "game.rom";
    const unsigned long jumpAt = GAME_SOUNDS_RATE_HZ * 3UL / 2; /* the step 1.5 s in */
    unsigned long step;
    unsigned steps = 0;

    if (loadRomImage(rom) != 0) { /* on the target: the image at 0x8000, and its tables read */
        perror(rom);
        return 1;
    }
    soundInit();
    songTick(); /* no song yet: the song clock takes its default speeds */
    playSong(GAME_SOUNDS_SONG_THEME);

    for (step = 0; step < GAME_SOUNDS_RATE_HZ * 10UL; ++step) {
        if (step == jumpAt) /* the player jumps */
            playSample(GAME_SOUNDS_SFX_JUMP_ENTRY, GAME_SOUNDS_SFX_JUMP_STREAM_IN_THEME,
                       GAME_SOUNDS_SFX_JUMP_TONE);
        timer0_isr(); /* on the target: the timer's interrupt */
        if (++steps == GAME_SOUNDS_STEPS_PER_SONGTICK) {
            steps = 0;
            songTick();
        }
    }
    return 0;
}
