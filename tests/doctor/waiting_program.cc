// A stand-in for a browser's main process: does nothing until killed, so
// that its name, its command line, its environment and, installed
// set-user-id, its user ids are what the system shows of it.
#include <unistd.h>

int main() {
  for (;;) ::pause();
}
