// The cycle-estimate ELF is never run from reset: the emulator calls its entry points by name.
// This main only completes the link with the image's start-up code.
int main() {
  for (;;) {
  }
}
