// dorvenquil: sends the user to the companion script that does the real work.
// It looks at nothing and always succeeds; it never runs the script itself.

// <stdio.h>, not <cstdio>: musl ships no C++ headers, and this file builds
// against musl as well as glibc.
#include <stdio.h>

int main(int, char **) {
  // Fully buffered whatever fd 1 is, so the notice leaves in one write at
  // exit: whole or not at all, never interleaved with another copy's.
  setvbuf(stdout, nullptr, _IOFBF, 0);
  puts("Usage: ");
  puts("Execute ./dorvenquil_1.04.sh to update FW");
  puts("Execute ./dorvenquil_1.04.sh -i to discover controller\n");
  return 0;
}
