// rand() as glibc draws it, for the page. libxmp draws IT's random volume and pan variations and its
// random vibrato from the C library's rand(); the native importer runs on glibc, and the page's C library
// (musl) draws another sequence, so the page takes glibc's: the additive feedback generator of random(3)
// (31 words, taps 3 apart), seeded by the minimal standard generator and run 310 draws in, as glibc
// seeds it. Without srand, the state is srand(1)'s, as in glibc.
#include <cstdint>

namespace {

std::uint32_t words[31];
int front = 0, rear = 0;
bool seeded = false;

void seed(unsigned value) {
    std::int32_t word = value == 0 ? 1 : static_cast<std::int32_t>(value);
    words[0] = static_cast<std::uint32_t>(word);
    for (int i = 1; i < 31; ++i) { // 16807 * word mod 2^31 - 1, without overflow (Schrage)
        const std::int32_t hi = word / 127773, lo = word % 127773;
        word = 16807 * lo - 2836 * hi;
        if (word < 0) word += 2147483647;
        words[i] = static_cast<std::uint32_t>(word);
    }
    front = 3;
    rear = 0;
    seeded = true;
    for (int i = 0; i < 310; ++i) {
        words[front] += words[rear];
        front = front == 30 ? 0 : front + 1;
        rear = rear == 30 ? 0 : rear + 1;
    }
}

} // namespace

extern "C" void srand(unsigned value) {
    seed(value);
}

extern "C" int rand() {
    if (!seeded) seed(1);
    words[front] += words[rear];
    const int drawn = static_cast<int>(words[front] >> 1);
    front = front == 30 ? 0 : front + 1;
    rear = rear == 30 ? 0 : rear + 1;
    return drawn;
}
